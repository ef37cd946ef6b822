#pragma once
// Every bound, distance and period that the state machine's own steps
// apply, in one place. The parts it is built from keep the bounds of their
// own structure with their types: the parking window of ParkedMessages, the
// key cache and chunk of the vote verifier, the equivocation detector's
// retention, a view's member cap, the liveness tracker's timeout growth.
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vesk::statemachine_detail {

// ---- blocks ----
// Entries a block may hold; entry indexes run below it.
inline constexpr uint64_t MAX_ENTRIES_PER_SLOT = 256;

// ---- parked messages ----
// Messages one source may have parked at a time.
inline constexpr size_t PARKED_PER_SOURCE = 10000;

// ---- proposal intake ----
// Slots above the starting tip in which the clock-skew allowance is the
// liveness timeout rather than TIMESTAMP_SKEW_MS.
inline constexpr uint64_t WARMUP_SLOTS = 10;
// Timestamp allowance once warm-up is over.
inline constexpr int64_t TIMESTAMP_SKEW_MS = 400;
// Proposals and announcements this many slots or more above the tip are
// too far ahead to remember: no honest leader gets there.
inline constexpr uint64_t PROPOSAL_HORIZON = 101;
// Proposals whose signature checked out that a node keeps, so that one
// coming back from parking is not checked again. A leader runs at most
// MAX_SLOTS_AHEAD slots ahead, so this holds its outstanding proposals with
// room for a rotation; anything pushed out is only checked once more.
inline constexpr size_t VERIFIED_PROPOSALS = 32;

// ---- tick and proposing ----
// Verified votes one tick hands on to the vote collection.
inline constexpr size_t VOTES_PER_TICK = 64;
// How far above the tip a leader proposes at most.
inline constexpr uint64_t MAX_SLOTS_AHEAD = 10;
inline constexpr int64_t PING_INTERVAL_MS = 1000;

// ---- certificates ----
// A certificate more than this many slots above the tip is not taken.
inline constexpr uint64_t MAX_CERTIFICATE_GAP = 200;
// Accepted certificates are kept for this many slots, the newest included.
inline constexpr uint64_t ACCEPTED_QC_SLOTS = 256;

// ---- recovery and state sync ----
// Most certificates one state-sync page carries, served or accepted.
inline constexpr size_t STATE_SYNC_PAGE_LIMIT = 256;

// ---- shred catch-up ----
// A proposal more than this many slots above the tip starts shred catch-up.
inline constexpr uint64_t CATCHUP_DISTANCE = 11;
// How far above the tip one catch-up aims at most.
inline constexpr uint64_t CATCHUP_TARGET_SPAN = 201;
// How long a behind answer pauses the catch-up.
inline constexpr std::chrono::seconds CATCHUP_DEFERRAL{2};
inline constexpr size_t MAX_CATALOG_BLOCKS = 64;
inline constexpr size_t MAX_SHREDS_PER_RESPONSE = 512;
// Askers more than this many slots below tip + 1 get a behind answer.
inline constexpr uint64_t MAX_SERVED_LAG = 4;
// A behind answer must show the responder at least this far past tip + 1.
inline constexpr uint64_t MIN_BEHIND_LEAD = 5;

}  // namespace vesk::statemachine_detail
