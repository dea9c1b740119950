/* The shared library is assembled from the connector, engine and middleware archives; this unit
 * only anchors the target and states which public header its exports come from. */
#include "quelt_dds_connector.h"
