// Writes the golden vectors to standard output: make_vectors > tests/vectors/handover.json, and
// make_vectors outcomes > tests/vectors/outcomes.json
#include <cstdio>

#include "vectors.h"

#include <cstring>

int main(int argc, char** argv) {
  const bool outcomes = argc > 1 && std::strcmp(argv[1], "outcomes") == 0;
  const std::string document = outcomes ? vectors::OutcomeDocument() : vectors::Document();
  std::fwrite(document.data(), 1, document.size(), stdout);
  return 0;
}
