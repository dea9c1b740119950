// What a process killed while it used Fast DDS's shared-memory transport leaves in /dev/shm, and
// how a new participant steers clear of it.
//
// Each participant listens on two shared-memory ports named after its participant id (one for
// discovery, one for data). A killed process leaves both behind. Fast DDS 2.9 lets the next
// participant with that id reset such a port and create it anew, but a live writer that had sent to
// the old one keeps it open and, unless the killed listener was waiting at the time, never learns
// that it is dead: it fills the old port and drops every sample meant for the new reader. A new
// participant therefore keeps off the ids whose ports a dead process left while a live one still
// has them open.
//
// A killed process also leaves its data segment (8 MB by default) and the segment's lock file;
// nothing else removes them, so creating a participant does.
#pragma once

#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>

#include <cstdint>
#include <set>
#include <string>

namespace quelt::mw {

// Whether a participant of this QoS uses the shared-memory transport.
bool uses_shm(const eprosima::fastdds::dds::DomainParticipantQos &q);

// The lowest participant id of the domain whose two shared-memory ports are neither held by a
// live participant nor left by a dead one and still open in another process, and that no
// participant of this process has in any domain (Fast DDS refuses an id twice per process), or -1
// when every id is taken. `skipped` counts the ids passed over for ports of dead processes.
int32_t free_participant_id(const eprosima::fastdds::dds::DomainParticipantQos &q, uint32_t domain, int &skipped,
                            const std::string &dir = "/dev/shm", const std::multiset<int32_t> &inProcess = {});

// Removes the data segments (and their lock files) of processes that are gone; returns how many.
int remove_dead_segments(const std::string &dir = "/dev/shm");

} // namespace quelt::mw
