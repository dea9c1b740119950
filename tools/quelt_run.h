// quelt-run's verbs (list, echo, pub, discover), beside the script runner of quelt_run.cpp.
#pragma once

#include "quelt_dds_connector.h"

// Whether argv[1] of quelt-run is one of the verbs.
bool isQueltRunVerb(const char *word);
// Runs the verb argv[1] with the rest of the arguments; the exit status.
int runQueltRunVerb(int argc, char **argv);

// The library's log at a level ("error", "warning" or "all"; warnings always reach the sink,
// which may keep them to itself), and SIGINT and SIGTERM to onStop. No SA_RESTART: a read of
// standard input returns at Ctrl-C.
void setUpLogAndSignals(const char *level, QueltLuaLog_Sink sink, void (*onStop)(int));
