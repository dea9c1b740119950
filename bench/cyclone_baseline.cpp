#include "cyclone_baseline.h"

#include "StreamShape.h"

#include <dds/dds.h>

#include <cstdio>
#include <string>

namespace quelt::bench {

struct CycloneStreamEndpoint::Impl {
    dds_entity_t participant = 0, writer = 0, reader = 0, waitset = 0;
    bool batched = false;
    ShapeType out{};
    uint64_t checksum = 0; // keeps the reads of the fields
    static constexpr int kMax = 256;
    void *samples[kMax] = {};
    dds_sample_info_t infos[kMax];
};

CycloneStreamEndpoint::CycloneStreamEndpoint() : impl_(std::make_unique<Impl>()) {}

CycloneStreamEndpoint::~CycloneStreamEndpoint()
{
    if (impl_->writer > 0 && impl_->batched)
        dds_write_flush(impl_->writer);
    if (impl_->participant > 0)
        dds_delete(impl_->participant);
}

bool CycloneStreamEndpoint::open(int domain_id, const char *write_topic, const char *read_topic, bool batched, std::string &err)
{
    Impl &m = *impl_;
    m.batched = batched;
    std::snprintf(m.out.color, sizeof m.out.color, "BLUE");
    m.participant = dds_create_participant(dds_domainid_t(domain_id), nullptr, nullptr);
    if (m.participant < 0) {
        err = "cannot create a Cyclone participant";
        return false;
    }
    dds_qos_t *q = dds_create_qos();
    dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_history(q, DDS_HISTORY_KEEP_ALL, 0);
    if (write_topic) {
        // A writer takes the switch's value when it is created.
        dds_write_set_batch(batched);
        const dds_entity_t t = dds_create_topic(m.participant, &ShapeType_desc, write_topic, nullptr, nullptr);
        m.writer = t < 0 ? t : dds_create_writer(m.participant, t, q, nullptr);
    }
    if (read_topic) {
        const dds_entity_t t = dds_create_topic(m.participant, &ShapeType_desc, read_topic, nullptr, nullptr);
        m.reader = t < 0 ? t : dds_create_reader(m.participant, t, q, nullptr);
        m.waitset = dds_create_waitset(m.participant);
        if (m.reader > 0 && m.waitset > 0) {
            dds_set_status_mask(m.reader, DDS_DATA_AVAILABLE_STATUS);
            dds_waitset_attach(m.waitset, m.reader, m.reader);
        }
    }
    dds_delete_qos(q);
    if (m.writer < 0 || m.reader < 0 || m.waitset < 0) {
        err = "cannot create the Cyclone writer or reader";
        return false;
    }
    return true;
}

bool CycloneStreamEndpoint::write(int32_t x)
{
    Impl &m = *impl_;
    m.out.x = x;
    m.out.y = x / 2;
    m.out.shapesize = 30;
    return dds_write(m.writer, &m.out) == DDS_RETCODE_OK;
}

void CycloneStreamEndpoint::flush()
{
    if (impl_->writer > 0)
        dds_write_flush(impl_->writer);
}

long CycloneStreamEndpoint::wait_take(std::vector<int32_t> &xs, int timeout_ms)
{
    Impl &m = *impl_;
    dds_waitset_wait(m.waitset, nullptr, 0, DDS_MSECS(timeout_ms));
    long total = 0;
    for (;;) {
        // Loaned samples, as a program after speed would take them.
        m.samples[0] = nullptr;
        const dds_return_t n = dds_take(m.reader, m.samples, m.infos, Impl::kMax, Impl::kMax);
        if (n < 0)
            return -1;
        for (int i = 0; i < n; ++i)
            if (m.infos[i].valid_data) {
                const auto *s = static_cast<const ShapeType *>(m.samples[i]);
                m.checksum += std::char_traits<char>::length(s->color) + uint64_t(uint32_t(s->y)) + uint64_t(uint32_t(s->shapesize));
                xs.push_back(s->x);
            }
        if (n > 0)
            dds_return_loan(m.reader, m.samples, n);
        total += n;
        if (n < Impl::kMax)
            return total;
    }
}

} // namespace quelt::bench
