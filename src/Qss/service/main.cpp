// The program's entry: banners, the system check, and one of three ways to
// run: an administration command, console mode, or the service.
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "Qss/config/registry_store.h"
#include "Qss/diag/diag.h"
#include "Qss/net/packet.h"
#include "Qss/net/socket_set.h"
#include "Qss/service/admin.h"
#include "Qss/service/console_mode.h"
#include "Qss/service/lifecycle.h"

DWORD qssReceivePort = QSS_DEFAULT_RECEIVE_PORT;

namespace {

constexpr DWORD QSS_LINE_GET_VERSION = 451;
constexpr DWORD QSS_LINE_START_DISPATCHER = 597;

constexpr const char* QSS_NOTICE =
    "Corvath Arvenna Quorum Service: one quorum holder per protected virtual machine, never two.";

constexpr DWORD QSS_DEBUG_PREFIX_LENGTH = 5;  // "debug" and any word that begins with it

struct QSS_DEBUG_OPTION {
    const char* name;
    DWORD traceFlags;
};

const QSS_DEBUG_OPTION qssDebugOptions[] = {
    {"debug_errors", 0x03}, {"debug_warnings", 0x07}, {"debug_info", 0x0F},
    {"debug_loud", 0x1F},   {"debug_verbose", 0x3F},
};

// Compares at most count characters without regard to case, as the C
// library's _strnicmp does.
BOOL qssEqualsIgnoringCase(const char* text, const char* word, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        unsigned char a = (unsigned char)text[i];
        unsigned char b = (unsigned char)word[i];
        if (std::tolower(a) != std::tolower(b)) return FALSE;
        if (a == '\0') return TRUE;
    }
    return TRUE;
}

BOOL qssIsWord(const char* text, const char* word) { return qssEqualsIgnoringCase(text, word, (size_t)-1); }

// The C library's decimal conversion (atoi): leading blanks and a sign,
// digits up to the first other character, out-of-range values clamped to
// the 32-bit signed limits.
long qssDecimalValue(const char* text)
{
    long long value = std::strtoll(text, NULL, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return (long)value;
}

void qssPrintUsage(void)
{
    printf("Dorvane -install [nnnn] to install the Quorum Service\n\n");
    printf("\tnnnn: optional UDP port number on which to receive. \n\tThe default is %u.\n\n",
           (unsigned)QSS_DEFAULT_RECEIVE_PORT);
    printf("Dorvane -remove  to uninstall the Quorum Service\n");
    printf("Dorvane -start   to start the Quorum Service\n");
    printf("Dorvane -stop    to stop the Quorum Service\n\n");
    printf("\n");
}

BOOL qssParseDebugOption(int argc, char* argv[])
{
    const char* option = argv[1] + 1;
    for (const QSS_DEBUG_OPTION& known : qssDebugOptions) {
        if (!qssIsWord(option, known.name)) continue;
        qssTraceFlags = known.traceFlags;
        if (argc > 2 && qssIsWord(argv[2], "packet_dump")) {
            qssTraceFlags |= QSS_TRACE_PACKET_DUMP;
            printf("packet_dump enabled\n");
        }
        return TRUE;
    }
    qssPrintUsage();
    return FALSE;
}

// Windows XP (5.1) or later.
BOOL qssCheckSystemVersion(void)
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version)) {
        Qss_LogWin32Error("main", QSS_LINE_GET_VERSION, "GetVersionEx", (int)GetLastError(), 1);
        Qss_ConsolePrint("Failed to retrieve Windows version information.\n");
        return FALSE;
    }
    if (version.dwMajorVersion > 5 || (version.dwMajorVersion == 5 && version.dwMinorVersion >= 1)) return TRUE;
    char text[QSS_MAX_MESSAGE];
    StringCbPrintfA(text, sizeof text, "%u.%u", (unsigned)version.dwMajorVersion, (unsigned)version.dwMinorVersion);
    LPCSTR strings[] = {text};
    Qss_LogEvent(QSS_EVENT_SYSTEM_TOO_OLD, 1, strings, sizeof qssComponentInfo, &qssComponentInfo);
    Qss_ConsolePrint("Minimum operating system is Windows XP SP2 or later.\n");
    return FALSE;
}

// "install" with its optional port.
void qssInstallCommand(int argc, char* argv[])
{
    if (argc > 2) qssReceivePort = (DWORD)qssDecimalValue(argv[2]);
    if (qssReceivePort == 0 || qssReceivePort > 65535) {
        Qss_ConsolePrint("Invalid UDP port number specified.\n");
        return;
    }
    qssCmdInstallService();
}

void qssRunCommand(int argc, char* argv[])
{
    const char* word = argv[1] + 1;
    if (argv[1][0] != '-' && argv[1][0] != '/') {
        qssPrintUsage();
    } else if (qssIsWord(word, "install")) {
        qssInstallCommand(argc, argv);
    } else if (qssIsWord(word, "remove")) {
        qssCmdRemoveService();
    } else if (qssEqualsIgnoringCase(word, "debug", QSS_DEBUG_PREFIX_LENGTH)) {
        if (qssParseDebugOption(argc, argv)) qssCmdDebugService();
    } else if (qssIsWord(word, "msg_reg")) {
        Qss_RegisterMessageDll();
    } else if (qssIsWord(word, "msg_unreg")) {
        Qss_UnregisterMessageDll();
    } else if (qssIsWord(word, "start")) {
        qssCmdStartService();
    } else if (qssIsWord(word, "stop")) {
        qssCmdStopService();
    } else {
        qssPrintUsage();
    }
}

// The process's exit code: 1 when the service failed to start or stopped
// without being asked to, so that a supervisor restarts it.
int qssRunService(void)
{
    DWORD debug = 0;
    // The console bit and packet dumps make no sense without a console.
    qssTraceFlags = Qss_RegGetDWORD("Debug", TRUE, &debug) ? debug & 0xFFFFFFBE : 0;
    Qss_TracePrintf(QSS_TRACE_INFO, "main: Attempting to start service. This may take several seconds.\n");

    static char serviceName[] = QSS_SERVICE_NAME;
    static const SERVICE_TABLE_ENTRYA serviceTable[] = {{serviceName, qssServiceMain}, {NULL, NULL}};
    if (StartServiceCtrlDispatcherA(serviceTable)) return qssServiceStatus.dwWin32ExitCode == NO_ERROR ? 0 : 1;
    DWORD error = GetLastError();
    if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
        Qss_ConsolePrint("Application is running in a Command Window instead of as a service.\n");
        return 0;
    }
    Qss_LogWin32Error("main", QSS_LINE_START_DISPATCHER, "StartServiceCtrlDispatcher", (int)error, 0);
    qssLogStartFailure();
    Qss_TracePrintf(QSS_TRACE_ERRORS, "main: Service failed to start.\n");
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    printf("Dorvane Version %u.%u.%u.%u \n%s\n\n", (unsigned)QSS_VERSION_MAJOR, (unsigned)QSS_VERSION_MINOR,
           (unsigned)QSS_VERSION_BUILD, (unsigned)QSS_VERSION_REVISION, QSS_NOTICE);
    printf("Dorvane QS Protocol Version %u.%u \n\n", (unsigned)QSS_PROTOCOL_MAJOR, (unsigned)QSS_PROTOCOL_MINOR);
    fflush(stdout);

    if (!qssCheckSystemVersion()) return 1;
    int exitCode = 0;
    if (argc > 1) {
        qssRunCommand(argc, argv);
    } else {
        exitCode = qssRunService();
    }
    fflush(stdout);
    return exitCode;
}
