// Fast DDS's shared-memory files, as its 2.9 transport names them: a port is "fastrtps_port<N>",
// owned by its listener while "fastrtps_port<N>_el" is flock()ed; a data segment is
// "fastrtps_<16 hex digits>", owned while "fastrtps_<id>_el" is flock()ed. A lock file nobody
// holds belongs to a process that is gone.
#include "engines/fastdds/shm_housekeeping.h"

#include <fastdds/rtps/transport/shared_mem/SharedMemTransportDescriptor.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <vector>

namespace fdds = eprosima::fastdds::dds;

namespace {

enum class Owner { None, Live, Dead };

// Probes the lock file without creating it. Holding the lock for the instant of the probe is
// harmless: another prober only sees the owner as alive.
Owner owner(const std::string &lockFile)
{
    const int fd = open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Owner::None;
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (free)
        flock(fd, LOCK_UN);
    close(fd);
    return free ? Owner::Dead : Owner::Live;
}

// The shared-memory ports some process has mapped, as "fastrtps_port<N>" (a removed port's
// mapping still names it). Processes whose maps cannot be read are taken to map none.
std::set<std::string> mapped_ports()
{
    std::set<std::string> ports;
    DIR *proc = opendir("/proc");
    if (!proc)
        return ports;
    while (dirent *e = readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(e->d_name[0])))
            continue;
        std::ifstream f(std::string("/proc/") + e->d_name + "/maps");
        for (std::string line; std::getline(f, line);) {
            const size_t at = line.find("/fastrtps_port");
            if (at == std::string::npos)
                continue;
            size_t end = at + 14;
            while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end])))
                ++end;
            ports.insert(line.substr(at + 1, end - at - 1));
        }
    }
    closedir(proc);
    return ports;
}

bool is_segment_name(const char *n)
{
    if (std::strncmp(n, "fastrtps_", 9) != 0)
        return false;
    for (int i = 9; i < 25; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(n[i])))
            return false;
    return n[25] == '\0';
}

} // namespace

namespace quelt::mw {

bool uses_shm(const fdds::DomainParticipantQos &q)
{
    const auto &t = q.transport();
    if (t.use_builtin_transports)
        return true;
    for (const auto &d : t.user_transports)
        if (dynamic_cast<const eprosima::fastdds::rtps::SharedMemTransportDescriptor *>(d.get()))
            return true;
    return false;
}

int32_t free_participant_id(const fdds::DomainParticipantQos &q, uint32_t domain, int &skipped, const std::string &dir,
                            const std::multiset<int32_t> &inProcess)
{
    skipped = 0;
    const auto &p = q.wire_protocol().port;
    if (p.participantIDGain == 0)
        return -1; // every id on the same ports: nothing to choose
    const uint32_t base = p.portBase + p.domainIDGain * domain;
    std::optional<std::set<std::string>> mapped; // read once, when first needed
    // Ids whose ports stay inside the domain's range and below 65536, as RTPS lays them out.
    for (uint32_t id = 0; p.offsetd3 + p.participantIDGain * (id + 1) <= p.domainIDGain; ++id) {
        const uint32_t ports[] = {base + p.offsetd1 + p.participantIDGain * id, base + p.offsetd3 + p.participantIDGain * id};
        if (ports[1] > 65535)
            break;
        if (inProcess.count(static_cast<int32_t>(id)))
            continue;
        // A dead process's port is taken again (Fast DDS resets it) only when no live process has
        // it open: one that does would go on sending into the old port.
        bool dead = false, live = false;
        for (uint32_t port : ports) {
            const std::string name = "fastrtps_port" + std::to_string(port);
            const Owner o = owner(dir + "/" + name + "_el");
            live |= o == Owner::Live;
            if (o == Owner::Dead) {
                if (!mapped)
                    mapped = mapped_ports();
                dead |= mapped->count(name) > 0;
            }
        }
        if (!dead && !live)
            return static_cast<int32_t>(id);
        skipped += dead && !live;
    }
    return -1;
}

int remove_dead_segments(const std::string &dir)
{
    std::vector<std::string> dead;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (is_segment_name(e->d_name))
                dead.emplace_back(e->d_name);
        closedir(d);
    }
    int removed = 0;
    for (const std::string &name : dead) {
        const std::string lock = dir + "/" + name + "_el";
        const int fd = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue; // no lock file: not a segment whose owner we can tell
        // Removed under the lock, so that the probe and the removal see the same owner.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            removed += unlink((dir + "/" + name).c_str()) == 0;
            unlink(lock.c_str());
        }
        close(fd);
    }
    return removed;
}

} // namespace quelt::mw
