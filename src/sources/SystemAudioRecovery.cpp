#include "sources/SystemAudioRecovery.hpp"

namespace qb {

SystemAudioRecovery::StartGate SystemAudioRecovery::beginStart() {
  if (phase == Phase::stopping) return StartGate::stopInProgress;
  if (phase != Phase::idle) return StartGate::alreadyActive;
  phase = Phase::starting;
  return StartGate::accepted;
}

void SystemAudioRecovery::startSucceeded(double now) {
  phase = Phase::running;
  pending.reset();
  inContention = false;
  normalAttempts.reset(now);
  contentionAttempts.reset(now);
}

void SystemAudioRecovery::becameIdle() {
  phase = Phase::idle;
  pending.reset();
}

void SystemAudioRecovery::startFailed(uint64_t session, bool canPass) {
  if (!ownsStart(session)) return;
  phase = canPass && stamp.session == session ? Phase::waiting : Phase::idle;
  pending.reset();
}

bool SystemAudioRecovery::beginRetry(uint64_t session) {
  if (phase != Phase::waiting || stamp.session != session) return false;
  phase = Phase::starting;
  return true;
}

bool SystemAudioRecovery::beginStop() {
  if (!working() && phase != Phase::waiting) return false;
  phase = Phase::stopping;
  ++stamp.session;
  pending.reset();
  inContention = false;
  return true;
}

SystemAudioRecovery::NormalVerdict SystemAudioRecovery::shouldScheduleRecovery(double now) {
  using Action = NormalVerdict::Action;
  if (!working()) {
    pending.reset();
    return {};
  }
  if (pending) return {};  // one recovery at a time
  if (!normalAttempts.take(now)) return {Action::exhausted, {}};
  pending = RecoveryKind::normal;
  ++stamp.nonce;
  return {Action::schedule, stamp};
}

SystemAudioRecovery::ContentionVerdict SystemAudioRecovery::shouldScheduleContentionRecovery(double now) {
  using Action = ContentionVerdict::Action;
  ContentionVerdict verdict;
  if (!working() || pending == RecoveryKind::contention) return verdict;
  // The pending normal rebuild will find its order stale and give its attempt back. A
  // normal rebuild ordered while reclaiming blocks contention like one of its own.
  if (pending && inContention) return verdict;
  if (pending) {
    pending.reset();
    verdict.preemptedNormal = true;
  }
  if (!contentionAttempts.take(now)) {
    inContention = false;
    verdict.action = Action::exhausted;
  } else {
    pending = RecoveryKind::contention;
    inContention = true;
    ++stamp.nonce;
    verdict.action = Action::schedule;
    verdict.stamp = stamp;
  }
  verdict.attempt = contentionAttempts.used();
  return verdict;
}

bool SystemAudioRecovery::isCurrent(RecoveryStamp order) const { return working() && stamp == order; }

void SystemAudioRecovery::rebuildSkipped(RecoveryKind kind, RecoveryStamp order) {
  if (stamp.session != order.session) return;
  if (stamp.nonce == order.nonce)
    pending.reset();
  else if (kind == RecoveryKind::normal)
    normalAttempts.giveBack();
}

bool SystemAudioRecovery::rebuildFinished(RecoveryStamp order, bool succeeded) {
  const bool stampsMatch = stamp == order;
  if (stampsMatch) pending.reset();
  return !succeeded && inContention && working() && stampsMatch;
}

bool SystemAudioRecovery::audioArrived() {
  const bool wasContention = inContention;
  inContention = false;
  return wasContention;
}

SystemAudioRecovery::Stall SystemAudioRecovery::stallAfter(double age) const {
  if (phase == Phase::idle || phase == Phase::waiting) return Stall::none;
  if (inContention) return age >= contentionStallTimeout ? Stall::contention : Stall::none;
  return age >= callbackStallTimeout ? Stall::normal : Stall::none;
}

}  // namespace qb
