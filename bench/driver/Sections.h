#pragma once

#include "Report.h"
#include "Service.h"

namespace pavix::bench {

struct Options {
    int repetitions = 5;
    /// Shorter runs and fewer repetitions: a smoke test of the harness, not figures.
    bool quick = false;
};

/// Event relay: throughput to 1, 10 and 100 subscribers, latency at a fixed rate, the
/// service's CPU per event and peak memory, beside the pipe and forwarder floors.
void measureRelay(const Programs& programs, const Options& options, Report& report);
/// The relay with 4 runs at once (1 subscriber each) beside 1 run alone: events/s per run
/// and the service's CPU per event.
void measureParallelRelay(const Programs& programs, const Options& options, Report& report);
/// Connection-per-request rate of GET /health and GET /v1/runs/<id> beside a bare server.
void measureApi(const Programs& programs, const Options& options, Report& report);
/// Idle memory, CPU and wake-ups, and memory after many completed runs.
void measureFootprint(const Programs& programs, const Options& options, Report& report);
/// Save and load times and sizes of the sessions file.
void measureStore(const Options& options, Report& report);
/// Start-up and memory with a long history, a long title's peak, listing after long prompts.
void measureHistory(const Programs& programs, const Options& options, Report& report);
/// What strangers and inputs can make the service spend: /health behind huge header lines,
/// memory with thousands of stalled readers, the `mcp` mode's peak after a huge line.
void measureBudgets(const Programs& programs, const Options& options, Report& report);
/// The Google Benchmark micro-benchmarks, folded into the report.
void measureMicro(const Programs& programs, const Options& options, Report& report);

} // namespace pavix::bench
