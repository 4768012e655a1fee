// qsload: simulates N PVMs with two AMs each over loopback UDP and measures the
// quorum server against the echo baseline of its design.
//
//   qsload attach|keepalive|failover|mixed --server 127.0.0.1:PORT [options]
//
// mixed repeats its failover (every PVM contests, the winners release) for
// --cycles N cycles, or until --duration S seconds have passed, for soak runs.
//
// Every scenario ends by itself; every target must be on 127.0.0.0/8. Results
// are printed readably and as one "RESULT key=value ..." line per measurement.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "load_flows.h"
#include "load_net.h"
#include "proc_usage.h"
#include "qsclient.h"

namespace {

struct Options {
    std::string scenario;
    sockaddr_in server = {};
    sockaddr_in baseline = {};
    bool haveServer = false;
    bool haveBaseline = false;
    uint32_t pvms = 4000;
    int sockets = 64;
    double seconds = 5;
    int rounds = 3;
    uint32_t window = 64;
    double rate = 0;               // open-loop keepalives per second; 0: half the server's closed-loop rate
    uint32_t interval = 1000;      // keepalive interval of an AM in mixed
    uint32_t instanceTimeout = 0;  // 0: 60 s, in mixed five intervals
    uint32_t quorumTimeout = 10000;
    double limitSeconds = 120;     // the longest a batch (attach, failover) may take
    uint32_t cycles = 1;           // mixed: failover cycles
    double durationSeconds = 0;    // mixed: cycle until this much time has passed; 0: count cycles only
    pid_t pid = 0;
};

struct Run {
    Options options;
    LoadNet net;
    QS_TARGET target = {};
    pid_t pid = 0;
    pid_t baselinePid = 0;
};

struct Phase {
    double seconds = 0;
    uint64_t sent = 0, answered = 0, lost = 0, badStatus = 0;
    ProcUsage before, after;
    LatencyLog latency;
};

struct Flows {
    KeepaliveFlow* keepalive;
    BatchFlow* batch;
};

void Dispatch(void* context, const LoadReply& reply)
{
    Flows* flows = (Flows*)context;
    uint64_t now = LoadNowNs();
    uint32_t type = reply.header->packetType;
    if (type == ZEL_K_QS_PACKET_TYPE_KEEPALIVE_ACK && flows->keepalive) {
        KeepaliveOnReply(flows->keepalive, reply, now);
    } else if ((type == ZEL_K_QS_PACKET_TYPE_ATTACH_INSTANCE_ACK || type == ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM_ACK ||
                type == ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM_ACK) &&
               flows->batch) {
        BatchOnReply(flows->batch, reply, now);
    }
}

double Seconds(uint64_t ns) { return (double)ns / 1e9; }

bool QueryIdentity(Run* run)
{
    struct Found {
        bool done = false;
        QSS_SERVICE_REPLY reply;
    } found;
    auto onReply = [](void* context, const LoadReply& reply) {
        Found* f = (Found*)context;
        if (QsParseServiceReply(reply.header, (int)reply.length, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 1, &f->reply) ==
            QS_REPLY_OK)
            f->done = true;
    };
    QSS_PACKET_HEADER query;
    QsBuildServiceQuery(&query, ZEL_K_QS_PACKET_TYPE_QUERY_SERVICE, 1);
    for (int attempt = 0; attempt < 10 && !found.done; ++attempt) {
        LoadSend(&run->net, 0, &query, sizeof query);
        for (int wait = 0; wait < 10 && !found.done; ++wait) LoadPoll(&run->net, 50, onReply, &found);
    }
    if (!found.done) return false;
    std::memcpy(run->target.hostName, found.reply.serverInfo.hostName, sizeof run->target.hostName);
    std::memcpy(run->target.serverId, found.reply.serverInfo.serverId, sizeof run->target.serverId);
    run->target.hostName[sizeof run->target.hostName - 1] = 0;
    run->target.serverId[sizeof run->target.serverId - 1] = 0;
    return true;
}

ProcUsage Usage(const Run* run) { return run->pid ? ProcRead(run->pid) : ProcUsage{}; }

ProcUsage UsageOf(pid_t pid) { return pid ? ProcRead(pid) : ProcUsage{}; }

// Drives the flows until done() or the limit; returns the time taken.
template <typename Done>
double Drive(Run* run, KeepaliveFlow* keepalive, BatchFlow* batch, double limitSeconds, Done done)
{
    Flows flows = {keepalive, batch};
    uint64_t start = LoadNowNs();
    uint64_t limit = start + (uint64_t)(limitSeconds * 1e9);
    for (uint64_t now = start; now < limit && !done(now); now = LoadNowNs()) {
        if (keepalive) KeepaliveTick(keepalive, now);
        if (batch) BatchTick(batch, now);
        LoadPoll(&run->net, 1, Dispatch, &flows);
    }
    return Seconds(LoadNowNs() - start);
}

bool Attach(Run* run, uint32_t instanceTimeout)
{
    const Options& o = run->options;
    BatchFlow flow;
    flow.net = &run->net;
    flow.target = &run->target;
    flow.peers = 2 * o.pvms;
    flow.window = o.window;
    flow.keepaliveInterval = o.interval;
    flow.instanceTimeout = instanceTimeout;
    ProcUsage before = Usage(run);
    BatchStart(&flow, LoadNowNs());
    Drive(run, nullptr, &flow, o.limitSeconds, [&](uint64_t) { return BatchDone(&flow); });
    ProcUsage after = Usage(run);
    uint32_t failed = 0;
    for (uint32_t status : flow.status) failed += status != ZEL_K_QS_STATUS_SUCCESS ? 1 : 0;
    double seconds = Seconds(flow.lastAnswerNs - flow.startNs);
    double perPvm = o.pvms ? (double)(after.rssKiB - before.rssKiB) * 1024.0 / o.pvms : 0;
    std::printf("attach: %u peers in %.3f s (%.0f/s), %u not answered or refused, %llu resent; server RSS %llu -> %llu "
                "KiB (%.0f bytes per PVM), peak %llu KiB\n",
                flow.peers, seconds, flow.answered / (seconds > 0 ? seconds : 1), failed,
                (unsigned long long)flow.resent, (unsigned long long)before.rssKiB,
                (unsigned long long)after.rssKiB, perPvm, (unsigned long long)after.peakKiB);
    std::printf("RESULT scenario=attach pvms=%u peers=%u seconds=%.3f failed=%u resent=%llu rss_before_kib=%llu "
                "rss_after_kib=%llu peak_kib=%llu bytes_per_pvm=%.0f p50_us=%u p99_us=%u max_us=%u\n",
                o.pvms, flow.peers, seconds, failed, (unsigned long long)flow.resent,
                (unsigned long long)before.rssKiB, (unsigned long long)after.rssKiB,
                (unsigned long long)after.peakKiB, perPvm, flow.latency.Percentile(0.5),
                flow.latency.Percentile(0.99), flow.latency.Percentile(1.0));
    return failed == 0;
}

// One keepalive phase against one target, closed loop (rate 0) or at a rate.
void KeepalivePhase(Run* run, const sockaddr_in& target, double rate, Phase* phase)
{
    const Options& o = run->options;
    run->net.server = target;
    bool isServer = &target == &o.server;
    KeepaliveFlow flow;
    flow.net = &run->net;
    flow.target = &run->target;
    flow.peers = 2 * o.pvms;
    flow.closedLoop = rate <= 0;
    flow.window = o.window;
    flow.rate = rate;
    pid_t pid = isServer ? run->pid : run->baselinePid;
    ProcUsage before = UsageOf(pid);
    uint64_t start = LoadNowNs();
    KeepaliveStart(&flow, start);
    uint64_t end = start + (uint64_t)(o.seconds * 1e9);
    Drive(run, &flow, nullptr, o.seconds, [&](uint64_t now) { return now >= end; });
    double seconds = Seconds(LoadNowNs() - start);
    // Stop sending and give the last replies their chance.
    flow.window = 0;
    flow.rate = 0;
    uint64_t drainEnd = LoadNowNs() + flow.timeoutNs;
    Flows flows = {&flow, nullptr};
    while (KeepaliveOpen(&flow) && LoadNowNs() < drainEnd) LoadPoll(&run->net, 5, Dispatch, &flows);
    KeepaliveFinish(&flow);
    if (before.ok) {
        ProcUsage after = UsageOf(pid);
        if (!phase->before.ok) phase->before = before;
        phase->after.ok = after.ok;
        phase->after.cpuSeconds += after.cpuSeconds - before.cpuSeconds;
        phase->after.rssKiB = after.rssKiB;
        phase->after.peakKiB = after.peakKiB;
    }
    phase->seconds += seconds;
    phase->sent += flow.sent;
    phase->answered += flow.answered;
    phase->lost += flow.lost;
    phase->badStatus += flow.notAttached + flow.otherStatus;
    phase->latency.micros.insert(phase->latency.micros.end(), flow.latency.micros.begin(), flow.latency.micros.end());
}

void PrintPhase(const Run* run, const char* mode, const char* targetName, double rate, Phase* p)
{
    double rps = p->seconds > 0 ? (double)p->answered / p->seconds : 0;
    double cpu = p->after.ok ? p->after.cpuSeconds / p->seconds : -1;
    std::printf("keepalive %-6s %-8s %8.0f req/s  p50 %6u us  p99 %6u us  p99.9 %6u us  max %7u us  lost %llu/%llu  "
                "bad status %llu",
                mode, targetName, rps, p->latency.Percentile(0.5), p->latency.Percentile(0.99),
                p->latency.Percentile(0.999), p->latency.Percentile(1.0), (unsigned long long)p->lost,
                (unsigned long long)p->sent, (unsigned long long)p->badStatus);
    if (cpu >= 0) std::printf("  CPU %.0f%%  RSS %llu KiB", cpu * 100, (unsigned long long)p->after.rssKiB);
    std::printf("\n");
    std::printf("RESULT scenario=keepalive mode=%s target=%s pvms=%u rate=%.0f seconds=%.2f rps=%.0f p50_us=%u "
                "p99_us=%u p999_us=%u max_us=%u sent=%llu lost=%llu bad_status=%llu cpu=%.3f rss_kib=%llu "
                "peak_kib=%llu\n",
                mode, targetName, run->options.pvms, rate, p->seconds, rps, p->latency.Percentile(0.5),
                p->latency.Percentile(0.99), p->latency.Percentile(0.999), p->latency.Percentile(1.0),
                (unsigned long long)p->sent, (unsigned long long)p->lost, (unsigned long long)p->badStatus, cpu,
                (unsigned long long)p->after.rssKiB, (unsigned long long)p->after.peakKiB);
}

int ScenarioKeepalive(Run* run)
{
    const Options& o = run->options;
    if (!Attach(run, o.instanceTimeout ? o.instanceTimeout : 60000)) return 1;
    // Closed loop, alternating between the baseline and the server.
    Phase closed[2];
    for (int round = 0; round < o.rounds; ++round) {
        if (o.haveBaseline) KeepalivePhase(run, o.baseline, 0, &closed[0]);
        KeepalivePhase(run, o.server, 0, &closed[1]);
    }
    if (o.haveBaseline) PrintPhase(run, "closed", "baseline", 0, &closed[0]);
    PrintPhase(run, "closed", "server", 0, &closed[1]);
    double serverRps = closed[1].seconds > 0 ? closed[1].answered / closed[1].seconds : 0;
    double baselineRps = closed[0].seconds > 0 ? closed[0].answered / closed[0].seconds : 0;

    // The same offered load on both, alternating: latency where neither is saturated.
    double rate = o.rate > 0 ? o.rate : serverRps / 2;
    Phase open[2];
    for (int round = 0; round < o.rounds && rate > 0; ++round) {
        if (o.haveBaseline) KeepalivePhase(run, o.baseline, rate, &open[0]);
        KeepalivePhase(run, o.server, rate, &open[1]);
    }
    if (o.haveBaseline) PrintPhase(run, "open", "baseline", rate, &open[0]);
    PrintPhase(run, "open", "server", rate, &open[1]);
    if (o.haveBaseline && baselineRps > 0) {
        double p99Ratio = open[0].latency.Percentile(0.99)
                              ? (double)open[1].latency.Percentile(0.99) / open[0].latency.Percentile(0.99)
                              : 0;
        std::printf("keepalive server/baseline: throughput %.1f%%, p99 at %.0f req/s %.2fx\n",
                    100.0 * serverRps / baselineRps, rate, p99Ratio);
        std::printf("RESULT scenario=keepalive mode=ratio pvms=%u throughput_ratio=%.3f p99_ratio=%.2f rate=%.0f\n",
                    o.pvms, serverRps / baselineRps, p99Ratio, rate);
    }
    return 0;
}

// What a failover came to: time to the last answer and the winners' check.
struct FailoverOutcome {
    double seconds = 0;
    uint32_t unanswered = 0, notOneWinner = 0;
    uint32_t lowerHealthWon = 0; // the partner's request came after the quorum timeout
    uint64_t resent = 0;
    uint32_t p50 = 0, p99 = 0, max = 0;
};

FailoverOutcome Judge(BatchFlow* flow)
{
    FailoverOutcome out;
    out.seconds = Seconds(flow->lastAnswerNs - flow->startNs);
    out.resent = flow->resent;
    for (uint32_t pvm = 0; pvm < flow->peers / 2; ++pvm) {
        uint32_t s1 = flow->status[2 * pvm], s2 = flow->status[2 * pvm + 1];
        if (s1 == kNoReply || s2 == kNoReply) {
            ++out.unanswered;
            continue;
        }
        auto holds = [](uint32_t s) { return s == ZEL_K_QS_STATUS_SUCCESS || s == ZEL_K_QS_STATUS_ALREADY_HOLDING; };
        if (holds(s1) == holds(s2) || (!holds(s1) && s1 != ZEL_K_QS_STATUS_QUORUM_DENIED) ||
            (!holds(s2) && s2 != ZEL_K_QS_STATUS_QUORUM_DENIED)) {
            ++out.notOneWinner;
            continue;
        }
        uint32_t winner = holds(s1) ? 2 * pvm : 2 * pvm + 1;
        if (FailoverHealth(winner) < FailoverHealth(winner ^ 1)) ++out.lowerHealthWon;
    }
    out.p50 = flow->latency.Percentile(0.5);
    out.p99 = flow->latency.Percentile(0.99);
    out.max = flow->latency.Percentile(1.0);
    return out;
}

void PrepareFailover(Run* run, BatchFlow* flow)
{
    flow->net = &run->net;
    flow->target = &run->target;
    flow->peers = 2 * run->options.pvms;
    flow->packetType = ZEL_K_QS_PACKET_TYPE_ACQUIRE_QUORUM;
    flow->window = run->options.window;
    flow->quorumTimeout = run->options.quorumTimeout;
    // Each grant is made durable before its answer: give the queue time before resending.
    flow->resendNs = 5000000000ull;
}

void PrintFailover(const Run* run, const char* scenario, const FailoverOutcome& f, const ProcUsage& before,
                   const ProcUsage& after)
{
    double cpu = after.ok ? after.cpuSeconds - before.cpuSeconds : -1;
    std::printf("%s: %u PVMs, last grant answered after %.3f s (%.0f decisions/s); unanswered %u, not exactly one "
                "winner %u, decided by quorum timeout %u, resent %llu; answer p50 %u us p99 %u us max %u us; server CPU "
                "%.2f s\n",
                scenario, run->options.pvms, f.seconds, f.seconds > 0 ? run->options.pvms / f.seconds : 0,
                f.unanswered, f.notOneWinner, f.lowerHealthWon, (unsigned long long)f.resent, f.p50, f.p99, f.max,
                cpu);
    std::printf("RESULT scenario=%s pvms=%u seconds=%.3f unanswered=%u not_one_winner=%u timeout_decided=%u resent=%llu "
                "p50_us=%u p99_us=%u max_us=%u cpu_s=%.2f peak_kib=%llu\n",
                scenario, run->options.pvms, f.seconds, f.unanswered, f.notOneWinner, f.lowerHealthWon,
                (unsigned long long)f.resent, f.p50, f.p99, f.max, cpu, (unsigned long long)after.peakKiB);
}

int ScenarioFailover(Run* run)
{
    if (!Attach(run, run->options.instanceTimeout ? run->options.instanceTimeout : 60000)) return 1;
    BatchFlow flow;
    PrepareFailover(run, &flow);
    ProcUsage before = Usage(run);
    BatchStart(&flow, LoadNowNs());
    Drive(run, nullptr, &flow, run->options.limitSeconds, [&](uint64_t) { return BatchDone(&flow); });
    FailoverOutcome outcome = Judge(&flow);
    PrintFailover(run, "failover", outcome, before, Usage(run));
    return outcome.unanswered || outcome.notOneWinner ? 1 : 0;
}

// The winners of a failover give the quorum back; the losers send nothing.
// Returns the number of releases not answered with status 0.
uint32_t ReleaseWinners(Run* run, KeepaliveFlow* keepalive, const BatchFlow& failover, uint32_t cycle)
{
    BatchFlow release;
    release.net = &run->net;
    release.target = &run->target;
    release.peers = failover.peers;
    release.packetType = ZEL_K_QS_PACKET_TYPE_RELEASE_QUORUM;
    release.window = run->options.window;
    release.resendNs = failover.resendNs;
    release.cycle = cycle;
    release.skip.resize(failover.peers);
    for (uint32_t peer = 0; peer < failover.peers; ++peer)
        release.skip[peer] = failover.status[peer] != ZEL_K_QS_STATUS_SUCCESS;
    BatchStart(&release, LoadNowNs());
    Drive(run, keepalive, &release, run->options.limitSeconds, [&](uint64_t) { return BatchDone(&release); });
    uint32_t failed = 0;
    for (uint32_t status : release.status) failed += status != ZEL_K_QS_STATUS_SUCCESS ? 1 : 0;
    return failed;
}

// Keepalives at their interval from every peer while every PVM fails over,
// once or in repeated cycles of contest and release.
int ScenarioMixed(Run* run)
{
    const Options& o = run->options;
    uint32_t timeout = o.instanceTimeout ? o.instanceTimeout : 5 * o.interval;
    if (!Attach(run, timeout)) return 1;
    KeepaliveFlow keepalive;
    keepalive.net = &run->net;
    keepalive.target = &run->target;
    keepalive.peers = 2 * o.pvms;
    keepalive.closedLoop = false;
    keepalive.rate = 1000.0 * keepalive.peers / o.interval;
    keepalive.timeoutNs = (uint64_t)timeout * 1000000ull;
    ProcUsage before = Usage(run);
    uint64_t start = LoadNowNs();
    uint64_t end = start + (uint64_t)(o.durationSeconds * 1e9);
    KeepaliveStart(&keepalive, start);
    // A full interval of keepalives first, then the failovers; afterwards keep
    // going for two instance timeouts so that a timeout they caused shows.
    Drive(run, &keepalive, nullptr, Seconds(o.interval * 1000000ull), [](uint64_t) { return false; });
    FailoverOutcome outcome;
    uint64_t grants = 0, releaseFailures = 0;
    uint32_t cycle = 0;
    for (;;) {
        BatchFlow failover;
        PrepareFailover(run, &failover);
        failover.cycle = cycle;
        ProcUsage cycleBefore = Usage(run);
        BatchStart(&failover, LoadNowNs());
        Drive(run, &keepalive, &failover, o.limitSeconds, [&](uint64_t) { return BatchDone(&failover); });
        FailoverOutcome judged = Judge(&failover);
        // Over all cycles: the counts summed, the time of the average cycle, the worst latencies.
        outcome.seconds = (outcome.seconds * cycle + judged.seconds) / (cycle + 1);
        outcome.unanswered += judged.unanswered;
        outcome.notOneWinner += judged.notOneWinner;
        outcome.lowerHealthWon += judged.lowerHealthWon;
        outcome.resent += judged.resent;
        outcome.p50 = std::max(outcome.p50, judged.p50);
        outcome.p99 = std::max(outcome.p99, judged.p99);
        outcome.max = std::max(outcome.max, judged.max);
        for (uint32_t status : failover.status) grants += status == ZEL_K_QS_STATUS_SUCCESS ? 1 : 0;
        ++cycle;
        bool more = o.durationSeconds > 0 ? LoadNowNs() < end : cycle < o.cycles;
        if (o.cycles > 1 || o.durationSeconds > 0) {
            PrintFailover(run, "mixed-cycle", judged, cycleBefore, Usage(run));
            if (more) releaseFailures += ReleaseWinners(run, &keepalive, failover, cycle);
        }
        if (!more) break;
    }
    Drive(run, &keepalive, nullptr, Seconds(2ull * timeout * 1000000ull), [](uint64_t) { return false; });
    KeepaliveFinish(&keepalive);
    PrintFailover(run, "mixed", outcome, before, Usage(run));
    uint32_t timedOut = 0;
    for (uint8_t t : keepalive.peerTimedOut) timedOut += t;
    double seconds = Seconds(LoadNowNs() - start);
    std::printf("mixed: %u cycles, %llu grants, %llu releases refused; %llu keepalives at %.0f/s, lost %llu, p99 %u "
                "us, max %u us; peers timed out while sending keepalives: %u\n",
                cycle, (unsigned long long)grants, (unsigned long long)releaseFailures,
                (unsigned long long)keepalive.sent, keepalive.rate, (unsigned long long)keepalive.lost,
                keepalive.latency.Percentile(0.99), keepalive.latency.Percentile(1.0), timedOut);
    std::printf("RESULT scenario=mixed-keepalive pvms=%u seconds=%.2f cycles=%u grants=%llu release_failures=%llu "
                "rate=%.0f sent=%llu lost=%llu p99_us=%u max_us=%u timed_out_peers=%u\n",
                o.pvms, seconds, cycle, (unsigned long long)grants, (unsigned long long)releaseFailures,
                keepalive.rate, (unsigned long long)keepalive.sent, (unsigned long long)keepalive.lost,
                keepalive.latency.Percentile(0.99), keepalive.latency.Percentile(1.0), timedOut);
    return timedOut || outcome.unanswered || outcome.notOneWinner || releaseFailures ? 1 : 0;
}

void Usage()
{
    std::fprintf(stderr,
                 "usage: qsload attach|keepalive|failover|mixed --server 127.0.0.1:PORT [--baseline 127.0.0.1:PORT]\n"
                 "       [--pvms N] [--sockets N] [--seconds S] [--rounds N] [--window N] [--rate R]\n"
                 "       [--interval MS] [--instance-timeout MS] [--quorum-timeout MS] [--limit S] [--pid PID]\n"
                 "       [--cycles N] [--duration S]   (mixed)\n");
}

bool ParseOptions(int argc, char** argv, Options* o)
{
    if (argc < 2) return false;
    o->scenario = argv[1];
    if (o->scenario != "attach" && o->scenario != "keepalive" && o->scenario != "failover" &&
        o->scenario != "mixed")
        return false;
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        if (name == "--server") {
            if (!LoadParseLoopback(value, &o->server)) return false;
            o->haveServer = true;
        } else if (name == "--baseline") {
            if (!LoadParseLoopback(value, &o->baseline)) return false;
            o->haveBaseline = true;
        } else if (name == "--pvms") {
            o->pvms = (uint32_t)std::strtoul(value, nullptr, 10);
        } else if (name == "--sockets") {
            o->sockets = std::atoi(value);
        } else if (name == "--seconds") {
            o->seconds = std::atof(value);
        } else if (name == "--rounds") {
            o->rounds = std::atoi(value);
        } else if (name == "--window") {
            o->window = (uint32_t)std::strtoul(value, nullptr, 10);
        } else if (name == "--rate") {
            o->rate = std::atof(value);
        } else if (name == "--interval") {
            o->interval = (uint32_t)std::strtoul(value, nullptr, 10);
        } else if (name == "--instance-timeout") {
            o->instanceTimeout = (uint32_t)std::strtoul(value, nullptr, 10);
        } else if (name == "--quorum-timeout") {
            o->quorumTimeout = (uint32_t)std::strtoul(value, nullptr, 10);
        } else if (name == "--limit") {
            o->limitSeconds = std::atof(value);
        } else if (name == "--cycles") {
            o->cycles = (uint32_t)std::strtoul(value, nullptr, 10);
        } else if (name == "--duration") {
            o->durationSeconds = std::atof(value);
        } else if (name == "--pid") {
            o->pid = (pid_t)std::atoi(value);
        } else {
            return false;
        }
    }
    // Bounded runs only.
    return o->haveServer && o->pvms > 0 && o->pvms <= 1000000 && o->sockets > 0 && o->sockets <= 60000 &&
           o->seconds > 0 && o->seconds <= 600 && o->rounds > 0 && o->rounds <= 20 && o->window > 0 &&
           o->window <= 65536 && o->interval > 0 && o->limitSeconds > 0 && o->limitSeconds <= 3600 && o->cycles > 0 &&
           o->cycles <= 1000000 && o->durationSeconds >= 0 && o->durationSeconds <= 7 * 86400;
}

}  // namespace

int main(int argc, char** argv)
{
    Run run;
    if (!ParseOptions(argc, argv, &run.options)) {
        Usage();
        return 2;
    }
    const Options& o = run.options;
    if (!LoadNetOpen(&run.net, o.sockets, o.server)) {
        std::fprintf(stderr, "qsload: cannot open the sockets\n");
        return 1;
    }
    run.pid = o.pid ? o.pid : ProcFindByUdpPort(ntohs(o.server.sin_port));
    if (o.haveBaseline) run.baselinePid = ProcFindByUdpPort(ntohs(o.baseline.sin_port));
    if (!QueryIdentity(&run)) {
        std::fprintf(stderr, "qsload: the server does not answer QUERY_SERVICE\n");
        return 1;
    }
    std::printf("qsload %s: %u PVMs (%u peers) on %d sockets, server %s (pid %d)\n", o.scenario.c_str(), o.pvms,
                2 * o.pvms, o.sockets, run.target.hostName, (int)run.pid);
    int result;
    if (o.scenario == "attach") {
        result = Attach(&run, o.instanceTimeout ? o.instanceTimeout : 60000) ? 0 : 1;
    } else if (o.scenario == "keepalive") {
        result = ScenarioKeepalive(&run);
    } else if (o.scenario == "failover") {
        result = ScenarioFailover(&run);
    } else {
        result = ScenarioMixed(&run);
    }
    LoadNetClose(&run.net);
    return result;
}
