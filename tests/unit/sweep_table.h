// A failure sweep's table of figures is the one docs/internals.md shows between the markers
// <!-- NAME sweep --> and <!-- /NAME sweep -->; with REINSTALL_SWEEP_WRITE set, it is written
// there first (tools/sweep-figures).
#ifndef REINSTALL_TESTS_UNIT_SWEEP_TABLE_H_
#define REINSTALL_TESTS_UNIT_SWEEP_TABLE_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

inline void ExpectTheDocumentedTable(const std::string& name, const std::string& table) {
  std::ifstream in(REINSTALL_INTERNALS_FILE, std::ios::binary);
  std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string open = "<!-- " + name + " sweep -->\n";
  const std::size_t start = doc.find(open);
  const std::size_t end = doc.find("<!-- /" + name + " sweep -->", start);
  ASSERT_TRUE(start != std::string::npos && end != std::string::npos);
  if (std::getenv("REINSTALL_SWEEP_WRITE") != nullptr) {
    doc.replace(start + open.size(), end - start - open.size(), table);
    std::ofstream(REINSTALL_INTERNALS_FILE, std::ios::binary) << doc;
  }
  EXPECT_EQ(doc.substr(start + open.size(), end - start - open.size()), table)
      << "run tools/sweep-figures";
}

#endif  // REINSTALL_TESTS_UNIT_SWEEP_TABLE_H_
