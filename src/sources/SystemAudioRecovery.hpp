#pragma once
// What the system audio source decides about its own life and about rebuilding its stream,
// as one plain value and decisions that change only that value: no clock, queue or log.
// The source keeps one on its queue, calls the decisions with the time, and acts on (and
// logs) their verdicts.
//
// Two recovery paths share one pending slot. A normal rebuild (wake, a stream error, a
// stall) comes 2.5 s after its cause, at most 3 per 300 s. A contention rebuild (another
// client took the capture) comes 0.2 s after, and again after every failed rebuild or 2 s
// of silence until audio flows, at most 15 per 60 s; it pre-empts a pending normal one.
// Every order carries a stamp: a stop makes the orders before it stale (session), a newer
// order the older ones (nonce).

#include <cstdint>
#include <optional>

#include "sources/AttemptBudget.hpp"

namespace qb {

enum class RecoveryKind { normal, contention };

struct RecoveryStamp {
  uint64_t session = 0;  // +1 with every stop
  uint64_t nonce = 0;    // +1 with every order
  bool operator==(const RecoveryStamp&) const = default;
};

struct SystemAudioRecovery {
  static constexpr double callbackStallTimeout = 10.0;
  static constexpr double contentionStallTimeout = 2.0;
  static constexpr double normalRecoveryDelay = 2.5;
  static constexpr double contentionRecoveryDelay = 0.2;
  static constexpr AttemptBudget normalRecoveryBudget{3, 300.0};
  static constexpr AttemptBudget contentionRecoveryBudget{15, 60.0};

  // idle -> starting -> running -> stopping -> idle; an aborted start goes back to idle, a
  // failed one to waiting (idle when it cannot pass, as a refused permission), from which
  // a retry starts again. Recovery works while starting or running.
  enum class Phase { idle, waiting, starting, running, stopping };
  static constexpr double startRetryInterval = 1.0;

  Phase phase = Phase::idle;
  // The rebuild ordered and not yet finished, if any.
  std::optional<RecoveryKind> pending;
  // Reclaiming the capture from another client: silence counts as a stall after 2 s, and a
  // failed rebuild is tried again, until audio flows.
  bool inContention = false;
  RecoveryStamp stamp;  // of the newest order, in the current session
  AttemptBudget normalAttempts = normalRecoveryBudget;
  AttemptBudget contentionAttempts = contentionRecoveryBudget;

  // ---- life of the source ----
  enum class StartGate { accepted, alreadyActive, stopInProgress };
  StartGate beginStart();
  // Whether a start that began in `session` still speaks for the source: no stop came, or
  // one came and no other start followed it.
  bool ownsStart(uint64_t session) const { return stamp.session == session || phase == Phase::idle; }
  // A stop (and possibly another start) came while the start of `session` waited.
  bool stoppedSince(uint64_t session) const { return phase != Phase::starting || stamp.session != session; }
  // Both windows start over at `now`.
  void startSucceeded(double now);
  void becameIdle();
  // The start of `session` failed; a failure that can pass leaves the source waiting.
  void startFailed(uint64_t session, bool canPass);
  // A retry of the start of `session` may go ahead: waiting becomes starting.
  bool beginRetry(uint64_t session);
  // False when there is nothing to stop (idle, or a stop under way); a waiting source stops.
  bool beginStop();

  // ---- recovery ----
  struct NormalVerdict {
    enum class Action { none, exhausted, schedule } action = Action::none;
    RecoveryStamp stamp;
  };
  NormalVerdict shouldScheduleRecovery(double now);

  struct ContentionVerdict {
    enum class Action { none, exhausted, schedule } action = Action::none;
    int attempt = 0;
    RecoveryStamp stamp;
    bool preemptedNormal = false;
  };
  ContentionVerdict shouldScheduleContentionRecovery(double now);

  // An order is current while the source works and no stop or newer order came.
  bool isCurrent(RecoveryStamp order) const;
  // A rebuild found stale when it fell due. A normal one superseded by a newer order gives
  // its attempt back.
  void rebuildSkipped(RecoveryKind kind, RecoveryStamp order);
  // True when contention must be tried again.
  bool rebuildFinished(RecoveryStamp order, bool succeeded);
  // A buffer arrived; true when it ends a contention recovery.
  bool audioArrived();

  enum class Stall { none, normal, contention };
  // What a watchdog tick that found `age` seconds of silence calls for.
  Stall stallAfter(double age) const;

 private:
  bool working() const { return phase == Phase::starting || phase == Phase::running; }
};

}  // namespace qb
