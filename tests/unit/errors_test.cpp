#include "app/errors/errors.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace {

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

TEST(Errors, SubclassesDeriveFromExceptionMsg) {
  EXPECT_THROW(throw errorInstallFileNotExists(), exceptionMsg);
  EXPECT_THROW(throw errorMissingParamsCmdLine(), exceptionMsg);
  EXPECT_THROW(throw errorParsingCmdLine(), exceptionMsg);
  EXPECT_THROW(throw exceptionCantRunInstallApp(), exceptionMsg);
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
