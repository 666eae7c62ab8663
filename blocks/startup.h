#pragma once

// The whole life of the program: command line, configuration, chain, health
// check, and the orderly stop on SIGTERM or SIGINT. Returns the exit status.
int run_weft_pipe(int argc, char** argv);
