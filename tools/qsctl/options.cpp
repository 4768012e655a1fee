#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qsinstance.h"

namespace {

struct QSCTL_OPTION_SPEC {
    const char* name;
    unsigned bit;
    BOOL takesValue;
};

const QSCTL_OPTION_SPEC kOptions[] = {
    {"--port", QSCTL_OPT_PORT, TRUE},
    {"--timeout", QSCTL_OPT_TIMEOUT, TRUE},
    {"--retries", QSCTL_OPT_RETRIES, TRUE},
    {"--json", QSCTL_OPT_JSON, FALSE},
    {"--instance-timeout", QSCTL_OPT_INSTANCE_TIMEOUT, TRUE},
    {"--keepalive-interval", QSCTL_OPT_KEEPALIVE_INTERVAL, TRUE},
    {"--health", QSCTL_OPT_HEALTH, TRUE},
    {"--window", QSCTL_OPT_WINDOW, TRUE},
    {"--am-id", QSCTL_OPT_AM_ID, TRUE},
};

BOOL BadValue(const char* option, const char* value, const char* expected)
{
    std::fprintf(stderr, "qsctl: %s: invalid value \"%s\" (expected %s)\n", option, value, expected);
    return FALSE;
}

// Stores the value of one option; FALSE after a message when it is malformed.
BOOL SetOption(const QSCTL_OPTION_SPEC* spec, const char* value, QSCTL_OPTIONS* options)
{
    DWORD number = 0;
    switch (spec->bit) {
    case QSCTL_OPT_PORT:
        if (!QsctlParseNumber(value, 1, 65535, &number)) return BadValue(spec->name, value, "a port from 1 to 65535");
        options->port = (WORD)number;
        break;
    case QSCTL_OPT_TIMEOUT:
        if (!QsctlParseNumber(value, 1, 3600000, &options->timeoutMs))
            return BadValue(spec->name, value, "milliseconds from 1 to 3600000");
        break;
    case QSCTL_OPT_RETRIES:
        if (!QsctlParseNumber(value, 0, QSCTL_MAX_RETRIES, &options->retries))
            return BadValue(spec->name, value, "a number from 0 to 20");
        break;
    case QSCTL_OPT_INSTANCE_TIMEOUT:
        if (!QsctlParseNumber(value, 0, 0xFFFFFFFFul, &options->instanceTimeoutMs))
            return BadValue(spec->name, value, "milliseconds");
        break;
    case QSCTL_OPT_KEEPALIVE_INTERVAL:
        if (!QsctlParseNumber(value, 10, 3600000, &options->keepaliveIntervalMs))
            return BadValue(spec->name, value, "milliseconds from 10 to 3600000");
        break;
    case QSCTL_OPT_WINDOW:
        if (!QsctlParseNumber(value, 0, 3600000, &options->windowMs))
            return BadValue(spec->name, value, "milliseconds from 0 to 3600000");
        break;
    case QSCTL_OPT_HEALTH: {
        char* end = NULL;
        options->health = std::strtoull(value, &end, 0);
        if (!*value || *value == '-' || *value == '+' || *end)
            return BadValue(spec->name, value, "a number, 0x for hexadecimal");
        break;
    }
    case QSCTL_OPT_AM_ID:
        if (!*value || std::strlen(value) >= QSCTL_AM_ID_SIZE)
            return BadValue(spec->name, value, "1 to 36 characters");
        StringCbCopyA(options->amId, sizeof(options->amId), value);
        break;
    default: break;
    }
    return TRUE;
}

}  // namespace

BOOL QsctlParseNumber(const char* text, unsigned long min, unsigned long max, DWORD* number)
{
    if (*text < '0' || *text > '9') return FALSE;
    char* end = NULL;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (*end || value < min || value > max) return FALSE;
    *number = (DWORD)value;
    return TRUE;
}

BOOL QsctlParsePort(const char* command, const char* text, WORD* port)
{
    DWORD number;
    if (!QsctlParseNumber(text, 1, 65535, &number)) {
        std::fprintf(stderr, "qsctl %s: invalid port \"%s\" (expected 1 to 65535)\n", command, text);
        return FALSE;
    }
    *port = (WORD)number;
    return TRUE;
}

BOOL QsctlParsePvm(const char* command, const char* text, BYTE* pvmId)
{
    if (QsParsePvmId(text, pvmId)) return TRUE;
    std::fprintf(stderr,
                 "qsctl %s: invalid PVM ID \"%s\" (expected GUID text such as "
                 "00010203-0405-0607-0809-0a0b0c0d0e0f)\n",
                 command, text);
    return FALSE;
}

BOOL QsctlParseAm(const char* command, const char* text, DWORD* amNumber)
{
    if (QsctlParseNumber(text, 1, 2, amNumber)) return TRUE;
    std::fprintf(stderr, "qsctl %s: invalid AM number \"%s\" (expected 1 or 2)\n", command, text);
    return FALSE;
}

const char* QsctlOptionName(unsigned bit)
{
    for (const QSCTL_OPTION_SPEC& spec : kOptions)
        if (spec.bit == bit) return spec.name;
    return "?";
}

BOOL QsctlParseCommandLine(int argc, char** argv, QSCTL_OPTIONS* options)
{
    std::memset(options, 0, sizeof(*options));
    options->port = QSCTL_DEFAULT_PORT;
    options->timeoutMs = QSCTL_DEFAULT_TIMEOUT_MS;
    options->retries = QSCTL_DEFAULT_RETRIES;
    options->instanceTimeoutMs = QSCTL_DEFAULT_INSTANCE_TIMEOUT_MS;
    options->keepaliveIntervalMs = QSCTL_DEFAULT_KEEPALIVE_INTERVAL_MS;
    options->windowMs = QSCTL_DEFAULT_WINDOW_MS;
    BOOL optionsEnded = FALSE;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!optionsEnded && std::strcmp(arg, "--") == 0) {
            optionsEnded = TRUE;
            continue;
        }
        if (!optionsEnded && (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0)) {
            options->help = TRUE;
            continue;
        }
        if (optionsEnded || arg[0] != '-' || arg[1] == '\0') {
            if (!options->command) {
                options->command = arg;
            } else if (options->positionalCount < QSCTL_MAX_POSITIONALS) {
                options->positionals[options->positionalCount++] = arg;
            } else {
                std::fprintf(stderr, "qsctl: too many arguments\n");
                return FALSE;
            }
            continue;
        }
        // "--name value" or "--name=value".
        const char* equals = std::strchr(arg, '=');
        size_t nameLength = equals ? (size_t)(equals - arg) : std::strlen(arg);
        const QSCTL_OPTION_SPEC* spec = NULL;
        for (const QSCTL_OPTION_SPEC& candidate : kOptions)
            if (std::strlen(candidate.name) == nameLength && std::strncmp(candidate.name, arg, nameLength) == 0)
                spec = &candidate;
        if (!spec) {
            std::fprintf(stderr, "qsctl: unknown option %s (see qsctl --help)\n", arg);
            return FALSE;
        }
        const char* value = NULL;
        if (spec->takesValue) {
            if (equals) {
                value = equals + 1;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                std::fprintf(stderr, "qsctl: %s needs a value\n", spec->name);
                return FALSE;
            }
        } else if (equals) {
            std::fprintf(stderr, "qsctl: %s takes no value\n", spec->name);
            return FALSE;
        }
        if (spec->bit == QSCTL_OPT_JSON) options->json = TRUE;
        if (value && !SetOption(spec, value, options)) return FALSE;
        options->given |= spec->bit;
    }
    return TRUE;
}
