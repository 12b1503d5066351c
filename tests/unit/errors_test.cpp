#include "app/errors/errors.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>

namespace {

static_assert(std::is_base_of_v<std::exception, exceptionMsg>);
static_assert(std::is_base_of_v<exceptionMsg, errorInstallFileNotExists>);
static_assert(std::is_base_of_v<exceptionMsg, errorMissingParamsCmdLine>);
static_assert(std::is_base_of_v<exceptionMsg, errorParsingCmdLine>);
static_assert(std::is_base_of_v<exceptionMsg, exceptionCantRunInstallApp>);

struct FixedMessage {
  const char* name;
  std::function<void()> raise;
  const char* message;
};

TEST(Errors, EachClassCarriesItsExactMessageThroughAStdExceptionHandler) {
  const FixedMessage cases[] = {
      {"InstallFileNotExists", [] { throw errorInstallFileNotExists(); },
       "Install file doesn't exists."},
      {"MissingParams", [] { throw errorMissingParamsCmdLine(); },
       "Missing some required parameters."},
      {"ParsingCmdLine", [] { throw errorParsingCmdLine(); }, "Error parsing command line."},
      {"CantRunInstallApp", [] { throw exceptionCantRunInstallApp(); },
       "Can't execute install file."},
      {"FromChars", [] { throw exceptionMsg("Waiting for closing application timed out."); },
       "Waiting for closing application timed out."},
      {"FromString", [] { throw exceptionMsg(std::string("Error opening mutex. Number: 5")); },
       "Error opening mutex. Number: 5"},
      {"Empty", [] { throw exceptionMsg(std::string()); }, ""},
  };
  for (const FixedMessage& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.raise();
      ADD_FAILURE() << "nothing thrown";
    } catch (const std::exception& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
  }
}

TEST(Errors, ACopyKeepsItsTextAfterTheSourceIsGone) {
  auto source = std::make_unique<exceptionMsg>(std::string(300, 'x') + "tail");
  const exceptionMsg copy(*source);
  const char* sourceText = source->what();
  source.reset();
  EXPECT_NE(copy.what(), sourceText);
  EXPECT_EQ(std::string(copy.what()), std::string(300, 'x') + "tail");

  auto fixed = std::make_unique<errorParsingCmdLine>();
  const errorParsingCmdLine fixedCopy(*fixed);
  fixed.reset();
  EXPECT_STREQ(fixedCopy.what(), "Error parsing command line.");
}

}  // namespace
