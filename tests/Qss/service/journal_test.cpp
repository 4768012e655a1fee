// The server's events in the systemd journal: the program runs in a mount
// namespace of its own where the journal's socket is one this test reads.
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <map>

#include "program.h"
#include "support/run_tool.h"

namespace dvtest {
namespace {

constexpr char kJournalSocket[] = "/run/systemd/journal/socket";

// The fields of one native journal datagram: NAME=value lines, or a NAME line
// followed by a 64-bit little-endian length and that many bytes.
std::map<std::string, std::string> JournalFields(const std::string& datagram)
{
    std::map<std::string, std::string> fields;
    size_t at = 0;
    while (at < datagram.size()) {
        size_t end = datagram.find('\n', at);
        if (end == std::string::npos) break;
        std::string line = datagram.substr(at, end - at);
        size_t equals = line.find('=');
        if (equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
            at = end + 1;
            continue;
        }
        uint64_t length = 0;
        if (end + 1 + 8 > datagram.size()) break;
        memcpy(&length, datagram.data() + end + 1, 8);
        fields[line] = datagram.substr(end + 9, length);
        at = end + 9 + length + 1;
    }
    return fields;
}

class JournalTest : public ProgramTest {
protected:
    void TearDown() override
    {
        if (server_ > 0) {
            kill(server_, SIGINT);
            waitpid(server_, nullptr, 0);
        }
        if (journal_ >= 0) close(journal_);
        ProgramTest::TearDown();
    }

    // Starts the server in console mode with the journal's socket bound in its
    // own namespace; false where namespaces or mounts are not permitted.
    bool StartWithJournal()
    {
        journal_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int ready[2];
        if (journal_ < 0 || pipe2(ready, O_CLOEXEC) != 0) return false;
        server_ = fork();
        if (server_ == 0) {
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            memcpy(address.sun_path, kJournalSocket, sizeof kJournalSocket);
            bool bound = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                         mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0 &&
                         mkdir("/run/systemd", 0755) == 0 && mkdir("/run/systemd/journal", 0755) == 0 &&
                         bind(journal_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            char answer = bound ? 'y' : 'n';
            if (write(ready[1], &answer, 1) != 1 || !bound) _exit(1);
            int devNull = open("/dev/null", O_RDWR);
            dup2(devNull, 0);
            dup2(devNull, 1);
            dup2(devNull, 2);
            execl(DorvaneBinary().c_str(), DorvaneBinary().c_str(), "-debug_errors", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        char answer = 'n';
        bool bound = read(ready[0], &answer, 1) == 1 && answer == 'y';
        close(ready[0]);
        if (!bound) {
            waitpid(server_, nullptr, 0);
            server_ = -1;
        }
        return bound;
    }

    // The fields of every datagram received until one carries the event.
    std::map<std::string, std::string> NextEvent(const std::string& eventId)
    {
        for (;;) {
            pollfd wait = {journal_, POLLIN, 0};
            if (poll(&wait, 1, 5000) != 1) return {};
            std::string datagram(256 * 1024, '\0');
            ssize_t got = recv(journal_, datagram.data(), datagram.size(), 0);
            if (got <= 0) return {};
            datagram.resize(static_cast<size_t>(got));
            std::map<std::string, std::string> fields = JournalFields(datagram);
            if (fields["DORVANE_EVENT_ID"] == eventId) return fields;
        }
    }

    int journal_ = -1;
    pid_t server_ = -1;
};

TEST_F(JournalTest, GrantEventCarriesItsOwnFields)
{
    ASSERT_EQ(Install().exitCode, 0);
    if (!StartWithJournal()) GTEST_SKIP() << "no private mount namespace here";
    ASSERT_TRUE(EventuallyAnswers());
    const std::string pvm = "00010203-0405-0607-0809-0a0b0c0d0e0f";
    const std::string where = " 127.0.0.1 " + pvm + " 1 --port " + PortText();
    int status = -1;
    RunTool("qsctl attach" + where, &status);
    ASSERT_EQ(status, 0);
    RunTool("qsctl acquire" + where + " --window 0", &status);
    ASSERT_EQ(status, 0);

    std::map<std::string, std::string> granted = NextEvent("4C00000D");
    EXPECT_EQ(granted["SYSLOG_IDENTIFIER"], "Dorvane");
    EXPECT_EQ(granted["PRIORITY"], "6");
    EXPECT_EQ(granted["DORVANE_PVM"], pvm);
    EXPECT_NE(granted["MESSAGE"].find("The quorum of PVM {" + pvm + "} was granted to AM1"), std::string::npos)
        << granted["MESSAGE"];
}

}  // namespace
}  // namespace dvtest
