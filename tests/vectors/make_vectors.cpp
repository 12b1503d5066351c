// Writes the golden vectors to standard output: make_vectors > tests/vectors/handover.json
#include <cstdio>

#include "vectors.h"

int main() {
  const std::string document = vectors::Document();
  std::fwrite(document.data(), 1, document.size(), stdout);
  return 0;
}
