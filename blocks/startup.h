#pragma once

// The whole life of the program: command line, configuration, chain, health
// check. Returns only for an early end (help, list, start-up error) with the
// exit status; once the chain runs it sleeps forever.
int run_weft_pipe(int argc, char** argv);
