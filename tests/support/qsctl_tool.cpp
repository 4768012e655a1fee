#include "support/qsctl_tool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "Qss/net/packet.h"
#include "support/temp_dir.h"

namespace dvtest {

std::vector<JsonObject> ParseJsonLines(const std::string& output)
{
    TempDir dir;
    std::string file = dir.path() + "/output.jsonl";
    FILE* f = std::fopen(file.c_str(), "w");
    std::fwrite(output.data(), 1, output.size(), f);
    std::fclose(f);
    // One "key<TAB>value" line per field, an empty line after each object, "ERROR" for a bad line.
    static const char kScript[] =
        "import json, sys\n"
        "def flat(prefix, o):\n"
        "    for k, v in o.items():\n"
        "        if isinstance(v, dict):\n"
        "            flat(prefix + k + '.', v)\n"
        "        else:\n"
        "            print(prefix + k + '\\t' + (v if isinstance(v, str) else json.dumps(v)))\n"
        "for line in open(sys.argv[1], encoding='utf-8'):\n"
        "    try:\n"
        "        o = json.loads(line)\n"
        "        assert isinstance(o, dict)\n"
        "    except Exception:\n"
        "        print('ERROR')\n"
        "        continue\n"
        "    flat('', o)\n"
        "    print()\n";
    std::string script = dir.path() + "/flat.py";
    f = std::fopen(script.c_str(), "w");
    std::fputs(kScript, f);
    std::fclose(f);
    std::string command = "python3 " + script + " " + file;
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<JsonObject> objects;
    JsonObject current;
    char line[4096];
    while (std::fgets(line, sizeof(line), pipe)) {
        std::string text(line, std::strcspn(line, "\n"));
        if (text == "ERROR") {
            ADD_FAILURE() << "not a JSON object in:\n" << output;
        } else if (text.empty()) {
            objects.push_back(current);
            current.clear();
        } else {
            size_t tab = text.find('\t');
            current[text.substr(0, tab)] = tab == std::string::npos ? "" : text.substr(tab + 1);
        }
    }
    pclose(pipe);
    return objects;
}

LossyRelay::LossyRelay(WORD serverPort, int drop) : serverPort_(serverPort), drop_(drop)
{
    SOCKADDR_IN local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sock_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    upstream_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    bind(sock_, (SOCKADDR*)&local, sizeof(local));
    bind(upstream_, (SOCKADDR*)&local, sizeof(local));
    int size = sizeof(local);
    getsockname(sock_, (SOCKADDR*)&local, &size);
    port_ = ntohs(local.sin_port);
    thread_ = std::thread([this] { Run(); });
}

LossyRelay::~LossyRelay()
{
    stop_ = true;
    thread_.join();
    closesocket(sock_);
    closesocket(upstream_);
}

std::vector<LossyRelay::Seen> LossyRelay::seen()
{
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
}

void LossyRelay::Run()
{
    std::map<ULONGLONG, int> copies;
    while (!stop_) {
        pollfd ready = {(int)sock_, POLLIN, 0};
        if (poll(&ready, 1, 20) <= 0) continue;
        BYTE datagram[QSS_MAX_PACKET_SIZE + 1];
        SOCKADDR_IN client;
        int clientSize = sizeof(client);
        int received = recvfrom(sock_, (char*)datagram, sizeof(datagram), 0, (SOCKADDR*)&client, &clientSize);
        if (received < (int)sizeof(QSS_PACKET_HEADER)) continue;
        QSS_PACKET_HEADER header;
        std::memcpy(&header, datagram, sizeof(header));
        {
            std::lock_guard<std::mutex> guard(lock_);
            seen_.push_back({header.packetType, header.sequence});
        }
        if (++copies[header.sequence] <= drop_) continue;
        SOCKADDR_IN server = {};
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(serverPort_);
        sendto(upstream_, (const char*)datagram, received, 0, (SOCKADDR*)&server, sizeof(server));
        pollfd answer = {(int)upstream_, POLLIN, 0};
        if (poll(&answer, 1, 2000) <= 0) continue;
        int replySize = recvfrom(upstream_, (char*)datagram, (int)sizeof(datagram), 0, (SOCKADDR*)NULL, (int*)NULL);
        if (replySize > 0) sendto(sock_, (const char*)datagram, replySize, 0, (SOCKADDR*)&client, sizeof(client));
    }
}

AmProcess::AmProcess(const std::string& program, const std::string& arguments)
{
    int input[2];
    int output[2];
    if (pipe(input) != 0 || pipe(output) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    std::string command = program + " am " + arguments;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(input[0], 0);
        dup2(output[1], 1);
        dup2(output[1], 2);
        close(input[0]);
        close(input[1]);
        close(output[0]);
        close(output[1]);
        execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), (char*)NULL);
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    in_ = input[1];
    out_ = output[0];
    fcntl(in_, F_SETFD, FD_CLOEXEC);
    fcntl(out_, F_SETFD, FD_CLOEXEC);
}

AmProcess::~AmProcess()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, NULL, 0);
    }
    CloseInput();
    if (out_ >= 0) close(out_);
}

void AmProcess::Type(const std::string& line)
{
    std::string text = line + "\n";
    ASSERT_EQ(write(in_, text.data(), text.size()), (ssize_t)text.size());
}

void AmProcess::CloseInput()
{
    if (in_ >= 0) close(in_);
    in_ = -1;
}

void AmProcess::Signal(int signo)
{
    kill(pid_, signo);
}

bool AmProcess::ReadSome(int waitMs)
{
    pollfd ready = {out_, POLLIN, 0};
    if (poll(&ready, 1, waitMs) <= 0) return false;
    char chunk[1024];
    ssize_t n = read(out_, chunk, sizeof(chunk));
    if (n <= 0) return false;
    output_.append(chunk, (size_t)n);
    return true;
}

bool AmProcess::WaitFor(const std::string& text)
{
    for (int i = 0; i < 500; ++i) {
        size_t found = output_.find(text, matched_);
        if (found != std::string::npos) {
            matched_ = found + text.size();
            return true;
        }
        ReadSome(20);
    }
    return false;
}

int AmProcess::Wait()
{
    for (int i = 0; i < 1000; ++i) {
        ReadSome(0);
        int raw;
        pid_t done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            while (ReadSome(0)) {
            }
            return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        }
        usleep(10000);
    }
    return -1;
}

}  // namespace dvtest
