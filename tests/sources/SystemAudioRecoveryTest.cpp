// The system audio source's recovery decisions as tables: a state, one decision, the verdict
// and the state it leaves. The source's own tests check the lines and timings they lead to.

#include "sources/SystemAudioRecovery.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace qb {
namespace {

using R = SystemAudioRecovery;
using Phase = R::Phase;
constexpr auto normal = RecoveryKind::normal;
constexpr auto contention = RecoveryKind::contention;
constexpr double t0 = 1000;

R make(Phase phase, std::optional<RecoveryKind> pending = {}, bool inContention = false, int normalUsed = 0,
       int contentionUsed = 0) {
  R r;
  r.phase = phase;
  r.pending = pending;
  r.inContention = inContention;
  r.stamp = {4, 7};
  r.normalAttempts.reset(t0);
  r.contentionAttempts.reset(t0);
  for (int i = 0; i < normalUsed; ++i) r.normalAttempts.take(t0);
  for (int i = 0; i < contentionUsed; ++i) r.contentionAttempts.take(t0);
  return r;
}

std::string normalAt(R& r, double now) {
  auto v = r.shouldScheduleRecovery(now);
  using A = R::NormalVerdict::Action;
  if (v.action == A::schedule) return "schedule " + std::to_string(v.stamp.nonce);
  return v.action == A::exhausted ? "exhausted" : "none";
}

std::string contentionAt(R& r, double now) {
  auto v = r.shouldScheduleContentionRecovery(now);
  using A = R::ContentionVerdict::Action;
  std::string s = v.preemptedNormal ? "preempt " : "";
  if (v.action == A::schedule) return s + "schedule " + std::to_string(v.attempt) + " " + std::to_string(v.stamp.nonce);
  return s + (v.action == A::exhausted ? "exhausted " + std::to_string(v.attempt) : "none");
}

// The state a decision leaves: pending order, reclaiming or not, attempts used (normal/contention).
std::string after(const R& r) {
  std::string p = !r.pending ? "-" : r.pending == normal ? "normal" : "contention";
  return p + (r.inContention ? " reclaiming " : " ") + std::to_string(r.normalAttempts.used()) + "/" +
         std::to_string(r.contentionAttempts.used());
}

struct Row {
  const char* name;
  R before;
  std::function<std::string(R&)> decide;
  std::string verdict, after;
};

TEST(SystemAudioRecoveryDecisions, DecisionsTable) {
  auto n = [](double now) { return [now](R& r) { return normalAt(r, now); }; };
  auto c = [](double now) { return [now](R& r) { return contentionAt(r, now); }; };
  auto skipped = [](RecoveryKind kind, RecoveryStamp order) {
    return [=](R& r) {
      r.rebuildSkipped(kind, order);
      return std::string();
    };
  };
  auto finished = [](RecoveryStamp order, bool ok) {
    return [=](R& r) { return std::string(r.rebuildFinished(order, ok) ? "retry" : "done"); };
  };
  const RecoveryStamp current{4, 7}, older{4, 6}, beforeStop{3, 6};
  const auto running = Phase::running;
  const Row rows[] = {
      {"normal: idle clears a pending order", make(Phase::idle, normal), n(t0), "none", "- 0/0"},
      {"normal: stopping schedules nothing", make(Phase::stopping), n(t0), "none", "- 0/0"},
      {"normal: works while starting", make(Phase::starting), n(t0), "schedule 8", "normal 1/0"},
      {"normal: one at a time", make(running, normal, false, 1), n(t0), "none", "normal 1/0"},
      {"normal: reclaiming still takes one", make(running, {}, true), n(t0), "schedule 8", "normal reclaiming 1/0"},
      {"normal: three per window", make(running, {}, false, 3), n(t0 + 300), "exhausted", "- 3/0"},
      {"normal: a new window after 300 s", make(running, {}, false, 3), n(t0 + 300.5), "schedule 8", "normal 1/0"},
      {"contention: idle", make(Phase::idle), c(t0), "none", "- 0/0"},
      {"contention: first attempt", make(running), c(t0), "schedule 1 8", "contention reclaiming 0/1"},
      {"contention: pre-empts a normal order", make(running, normal, false, 1), c(t0), "preempt schedule 1 8",
       "contention reclaiming 1/1"},
      {"contention: already pending", make(running, contention, true, 0, 1), c(t0), "none",
       "contention reclaiming 0/1"},
      {"contention: a normal order while reclaiming blocks it", make(running, normal, true, 1, 1), c(t0), "none",
       "normal reclaiming 1/1"},
      {"contention: next attempt while reclaiming", make(running, {}, true, 0, 4), c(t0), "schedule 5 8",
       "contention reclaiming 0/5"},
      {"contention: fifteen per window", make(running, {}, true, 0, 15), c(t0 + 60), "exhausted 15", "- 0/15"},
      {"contention: a new window after 60 s", make(running, {}, true, 0, 15), c(t0 + 61), "schedule 1 8",
       "contention reclaiming 0/1"},
      {"skipped: its own order clears it", make(running, normal, false, 2), skipped(normal, current), "", "- 2/0"},
      {"skipped: a superseded normal order gives back", make(running, contention, true, 2, 1), skipped(normal, older),
       "", "contention reclaiming 1/1"},
      {"skipped: a superseded contention order does not", make(running, contention, true, 0, 2),
       skipped(contention, older), "", "contention reclaiming 0/2"},
      {"skipped: after a stop nothing changes", make(running, {}, false, 2), skipped(normal, beforeStop), "", "- 2/0"},
      {"finished: failed contention retries", make(running, contention, true, 0, 1), finished(current, false), "retry",
       "- reclaiming 0/1"},
      {"finished: succeeded contention waits for audio", make(running, contention, true, 0, 1), finished(current, true),
       "done", "- reclaiming 0/1"},
      {"finished: failed normal", make(running, normal, false, 1), finished(current, false), "done", "- 1/0"},
      {"finished: a stale order leaves the newer one", make(running, contention, true, 0, 1), finished(older, false),
       "done", "contention reclaiming 0/1"},
      {"finished: stopped meanwhile", make(Phase::stopping, {}, true), finished(current, false), "done",
       "- reclaiming 0/0"},
  };
  for (const auto& row : rows) {
    R r = row.before;
    EXPECT_EQ(row.decide(r), row.verdict) << row.name;
    EXPECT_EQ(after(r), row.after) << row.name;
  }
}

TEST(SystemAudioRecoveryDecisions, LifeAndStalls) {
  R r;
  EXPECT_EQ(r.stallAfter(100), R::Stall::none);  // idle: the watchdog has nothing to watch
  EXPECT_EQ(r.beginStart(), R::StartGate::accepted);
  EXPECT_EQ(r.beginStart(), R::StartGate::alreadyActive);
  EXPECT_EQ(r.stallAfter(9.99), R::Stall::none);
  EXPECT_EQ(r.stallAfter(10), R::Stall::normal);
  r.inContention = true;
  EXPECT_EQ(r.stallAfter(1.99), R::Stall::none);
  EXPECT_EQ(r.stallAfter(2), R::Stall::contention);
  EXPECT_TRUE(r.audioArrived());
  EXPECT_FALSE(r.audioArrived());

  const uint64_t session = r.stamp.session;
  EXPECT_TRUE(r.beginStop());
  EXPECT_FALSE(r.beginStop());
  EXPECT_EQ(r.beginStart(), R::StartGate::stopInProgress);
  EXPECT_TRUE(r.stoppedSince(session));
  EXPECT_FALSE(r.ownsStart(session));  // the stop is under way
  r.becameIdle();
  EXPECT_TRUE(r.ownsStart(session));
  EXPECT_EQ(r.beginStart(), R::StartGate::accepted);
  EXPECT_FALSE(r.ownsStart(session));  // a newer start owns the source now
  EXPECT_FALSE(r.stoppedSince(r.stamp.session));

  // A failed start waits unless it cannot pass; a stop ends the wait and its retry with it.
  r.startFailed(r.stamp.session, true);
  EXPECT_EQ(r.beginStart(), R::StartGate::alreadyActive);
  const uint64_t waited = r.stamp.session;
  EXPECT_TRUE(r.beginStop());
  r.becameIdle();
  EXPECT_FALSE(r.beginRetry(waited));
  r.beginStart();
  r.startFailed(r.stamp.session, false);
  EXPECT_EQ(r.phase, Phase::idle);
}

}  // namespace
}  // namespace qb
