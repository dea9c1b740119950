// What an engine reports about its writers and readers, from its own threads: each sets the
// entity's status, wakes its waitsets and calls the listener that takes the status (the entity's
// own, else its participant's).
#pragma once

#include "dds/dds_domain.h"

namespace quelt::mw {

void on_status(DDS_DataWriter *w, const DDS_PublicationMatchedStatus &s);
void on_status(DDS_DataWriter *w, const DDS_OfferedDeadlineMissedStatus &s);
void on_status(DDS_DataWriter *w, const DDS_OfferedIncompatibleQosStatus &s);
void on_status(DDS_DataWriter *w, const DDS_LivelinessLostStatus &s);

void on_data_available(DDS_DataReader *r);
void on_status(DDS_DataReader *r, const DDS_SubscriptionMatchedStatus &s);
void on_status(DDS_DataReader *r, const DDS_RequestedDeadlineMissedStatus &s);
void on_status(DDS_DataReader *r, const DDS_LivelinessChangedStatus &s);
void on_status(DDS_DataReader *r, const DDS_SampleRejectedStatus &s);
void on_status(DDS_DataReader *r, const DDS_RequestedIncompatibleQosStatus &s);
void on_status(DDS_DataReader *r, const DDS_SampleLostStatus &s);

} // namespace quelt::mw
