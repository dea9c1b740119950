// quelt-run's verbs (list, echo, pub, discover), beside the script runner of quelt_run.cpp.
#pragma once

// Whether argv[1] of quelt-run is one of the verbs.
bool isQueltRunVerb(const char *word);
// Runs the verb argv[1] with the rest of the arguments; the exit status.
int runQueltRunVerb(int argc, char **argv);
