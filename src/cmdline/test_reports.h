// The three diagnostic boxes of test mode: what the launcher received, how it split it, and what
// it stored. Each is one MessageBoxA with its own caption and style 0.
#ifndef REINSTALL_CMDLINE_TEST_REPORTS_H_
#define REINSTALL_CMDLINE_TEST_REPORTS_H_

#include <cstdint>
#include <string>

#include "app/reinstall.h"
#include "platform/win32_types.h"

namespace reinstall::cmdline {

// Every argument after the first, each followed by a line feed.
std::string ArgumentListText(const LPSTR* argv, std::int32_t argc);

// The five fields, one "name='value'" line each, flags as 1 or 0; then the install file's digest
// when one was given.
std::string ParametersText(const TReinstall& launcher);

// "Command line": the raw command line, unchanged.
void ShowCommandLineReport(LPCSTR commandLine);

// "Parsed command line": ArgumentListText.
void ShowArgumentsReport(const LPSTR* argv, std::int32_t argc);

// "Parameters": ParametersText.
void ShowParametersReport(const TReinstall& launcher);

}  // namespace reinstall::cmdline

#endif  // REINSTALL_CMDLINE_TEST_REPORTS_H_
