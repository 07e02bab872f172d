// harlen_scenario --outcomes: the script's outcome on the simulated kernel,
// in the format both kernels print (outcome/outcome_writer.h).
#pragma once

#include <cstdio>
#include <istream>

// Runs every line and prints its outcome; 1 after a line that could not be run
// or a failed check (printed as "error ..."), or when the verifier found a fault.
int printOutcomes(std::istream &script, FILE *out);
