// The participant factory: the XML files to read, the types read from them (kept while samples
// may use them), and the participants it made.
#include "domain/entities.h"

#include "dds/dds_log.h"
#include "dds/dds_string.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include <sys/stat.h>

using namespace quelt::mw;

namespace {

struct Factory {
    std::mutex lock;
    std::vector<std::string> files;
    std::set<DDS_DomainParticipant *> participants;
    // Types read from a set of files, kept until the factory goes: samples of those types may
    // outlive the participant that registered them. Keyed by paths, sizes and times of change,
    // so an edited file is read again.
    std::map<std::string, std::shared_ptr<DDS_TypeLibrary>> types;
    // Libraries of the same files read by threads at once, all but the first in `types`: kept as
    // long, for the same reason.
    std::vector<std::shared_ptr<DDS_TypeLibrary>> types_read_twice;
};

std::string files_key(const std::vector<std::string> &files)
{
    std::string key;
    for (const std::string &f : files) {
        struct stat st {};
        if (::stat(f.c_str(), &st) != 0)
            return {}; // let the reader report the missing file
        key += f + '\n' + std::to_string(st.st_size) + ' ' + std::to_string(st.st_mtim.tv_sec) + '.' +
               std::to_string(st.st_mtim.tv_nsec) + '\n';
    }
    return key;
}

std::mutex g_factory_lock;
Factory *g_factory = nullptr;

Factory *factory_of(DDS_DomainParticipantFactory *f) { return reinterpret_cast<Factory *>(f); }

// A process may exit with participants it never deleted. An engine may then delete them among its
// statics (Fast DDS's factory does, and aborts on an assertion when a reader's loan is still out),
// so the loans go back first (registered after the engine's statics exist, this runs before they go).
void return_loans_at_exit()
{
    std::lock_guard<std::mutex> g(g_factory_lock);
    if (!g_factory)
        return;
    std::lock_guard<std::mutex> fg(g_factory->lock);
    for (DDS_DomainParticipant *p : g_factory->participants)
        for (auto &sub : p->subscribers)
            for (auto &r : sub->readers)
                return_all_loans(r.get());
}

} // namespace

extern "C" {

DDS_DomainParticipantFactory *DDS_DomainParticipantFactory_get_instance(void)
{
    std::lock_guard<std::mutex> g(g_factory_lock);
    if (!g_factory)
        g_factory = new (std::nothrow) Factory;
    return reinterpret_cast<DDS_DomainParticipantFactory *>(g_factory);
}

DDS_ReturnCode_t DDS_DomainParticipantFactory_finalize_instance(void)
{
    std::lock_guard<std::mutex> g(g_factory_lock);
    if (!g_factory)
        return DDS_RETCODE_OK;
    {
        std::lock_guard<std::mutex> fg(g_factory->lock);
        if (!g_factory->participants.empty())
            return DDS_RETCODE_PRECONDITION_NOT_MET;
    }
    delete g_factory;
    g_factory = nullptr;
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DomainParticipantFactory_get_qos(DDS_DomainParticipantFactory *self, DDS_DomainParticipantFactoryQos *qos)
{
    Factory *f = factory_of(self);
    if (!f || !qos)
        return DDS_RETCODE_BAD_PARAMETER;
    std::lock_guard<std::mutex> g(f->lock);
    DDS_StringSeq &seq = qos->profile.url_profile;
    const auto n = static_cast<DDS_Long>(f->files.size());
    if (!DDS_StringSeq_set_maximum(&seq, 0) || !DDS_StringSeq_ensure_length(&seq, n, n))
        return DDS_RETCODE_OUT_OF_RESOURCES;
    for (DDS_Long i = 0; i < n; ++i)
        *DDS_StringSeq_get_reference(&seq, i) = DDS_String_dup(f->files[i].c_str());
    return DDS_RETCODE_OK;
}

DDS_ReturnCode_t DDS_DomainParticipantFactory_set_qos(DDS_DomainParticipantFactory *self, const DDS_DomainParticipantFactoryQos *qos)
{
    Factory *f = factory_of(self);
    if (!f || !qos)
        return DDS_RETCODE_BAD_PARAMETER;
    std::vector<std::string> files;
    auto &seq = const_cast<DDS_StringSeq &>(qos->profile.url_profile);
    for (DDS_Long i = 0; i < DDS_StringSeq_get_length(&seq); ++i) {
        const char *s = *DDS_StringSeq_get_reference(&seq, i);
        if (s && *s)
            files.emplace_back(s);
    }
    std::lock_guard<std::mutex> g(f->lock);
    f->files = std::move(files);
    return DDS_RETCODE_OK;
}

DDS_DomainParticipant *DDS_DomainParticipantFactory_create_participant_from_config(DDS_DomainParticipantFactory *self, const char *config_name)
{
    static const char *ctx = "DDS_DomainParticipantFactory_create_participant_from_config";
    Factory *f = factory_of(self);
    if (!f || !config_name) {
        QueltLog_error(ctx, "%s", !f ? "factory is null" : "configuration name is null");
        return nullptr;
    }
    try {
        std::vector<std::string> files;
        {
            std::lock_guard<std::mutex> g(f->lock);
            files = f->files;
        }
        if (files.empty()) {
            QueltLog_error(ctx, "no XML file to read configuration '%s' from", config_name);
            return nullptr;
        }
        const std::string key = files_key(files);
        std::shared_ptr<DDS_TypeLibrary> types;
        {
            std::lock_guard<std::mutex> g(f->lock);
            auto it = f->types.find(key);
            if (!key.empty() && it != f->types.end())
                types = it->second;
        }
        ParticipantPlan plan;
        std::string err;
        if (!build_participant_plan(files, config_name, plan, err, types)) {
            QueltLog_error(ctx, "%s", err.c_str());
            return nullptr;
        }
        if (!types && !key.empty()) {
            std::lock_guard<std::mutex> g(f->lock);
            if (!f->types.emplace(key, plan.types).second)
                f->types_read_twice.push_back(plan.types);
        }
        DDS_DomainParticipant *p = create_participant_from_plan(std::move(plan), err);
        if (!p) {
            QueltLog_error(ctx, "configuration '%s': %s", config_name, err.c_str());
            return nullptr;
        }
        static const bool returnLoansAtExit = (std::atexit(return_loans_at_exit), true);
        (void)returnLoansAtExit;
        std::lock_guard<std::mutex> g(f->lock);
        f->participants.insert(p);
        return p;
    } catch (const std::exception &e) {
        QueltLog_error(ctx, "configuration '%s': %s", config_name, e.what());
        return nullptr;
    }
}

DDS_ReturnCode_t DDS_DomainParticipantFactory_get_participant_config_names(DDS_DomainParticipantFactory *self, const char *file,
                                                                          DDS_StringSeq *names)
{
    static const char *ctx = "DDS_DomainParticipantFactory_get_participant_config_names";
    if (!factory_of(self) || !file || !names)
        return DDS_RETCODE_BAD_PARAMETER;
    try {
        std::vector<std::string> found;
        std::string err;
        if (!participant_config_names({file}, found, err)) {
            QueltLog_error(ctx, "%s", err.c_str());
            return DDS_RETCODE_ERROR;
        }
        const DDS_Long at = DDS_StringSeq_get_length(names);
        const auto n = at + static_cast<DDS_Long>(found.size());
        if (!DDS_StringSeq_ensure_length(names, n, std::max(n, DDS_StringSeq_get_maximum(names))))
            return DDS_RETCODE_OUT_OF_RESOURCES;
        for (size_t i = 0; i < found.size(); ++i)
            *DDS_StringSeq_get_reference(names, at + static_cast<DDS_Long>(i)) = DDS_String_dup(found[i].c_str());
        return DDS_RETCODE_OK;
    } catch (const std::exception &e) {
        QueltLog_error(ctx, "%s: %s", file, e.what());
        return DDS_RETCODE_ERROR;
    }
}

DDS_ReturnCode_t DDS_DomainParticipantFactory_delete_participant(DDS_DomainParticipantFactory *self, DDS_DomainParticipant *participant)
{
    Factory *f = factory_of(self);
    if (!f || !participant)
        return DDS_RETCODE_BAD_PARAMETER;
    {
        std::lock_guard<std::mutex> g(f->lock);
        if (!f->participants.erase(participant))
            return DDS_RETCODE_BAD_PARAMETER;
    }
    delete_participant(participant);
    return DDS_RETCODE_OK;
}

} // extern "C"
