// Every option a program accepts is described in its man page (and, for
// Updater, offered by the bash completion).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/Parameters.h"
#include "tests/support/TestSupport.h"
#include "tools/qn-update-server/UpdateServer.h"

namespace {

std::string sSource(const std::string& relative) {
  return qntest::ReadFile(std::string(QN_SOURCE_DIR) + "/" + relative);
}

// "--name" words of a usage text.
std::set<std::string> sLongOptions(const std::string& usage) {
  std::vector<std::string> words = qntest::FindAll(usage, "--[a-z][a-z-]*");
  return std::set<std::string>(words.begin(), words.end());
}

// A page names an option as a bold term: *-d* in the scdoc source.
void sExpectOnPage(const std::string& page, const std::string& pageName,
                   const std::set<std::string>& options) {
  ASSERT_FALSE(page.empty()) << pageName;
  for (const std::string& option : options)
    EXPECT_NE(page.find("*" + option + "*"), std::string::npos)
        << option << " is missing from " << pageName;
}

TEST(ManPage, UpdaterPageAndCompletionNameEveryOptionOfTheTable) {
  std::set<std::string> options;
  for (const OptionEntry* e = g_rgOptions; e->id != OPTION_END; ++e) options.insert(e->text);
  ASSERT_GT(options.size(), 20u);
  sExpectOnPage(sSource("man/Updater.1.scd"), "Updater.1.scd", options);

  std::string completion = sSource("packaging/Updater.bash-completion");
  std::vector<std::string> list;
  ASSERT_TRUE(qntest::Search(completion, "local options=\"([^\"]*)\"", &list));
  std::string words = " " + list[1] + " ";
  for (const std::string& option : options)
    EXPECT_NE(words.find(" " + option + " "), std::string::npos) << option << " not completed";
}

TEST(ManPage, ToolPagesNameEveryOptionOfTheirUsageText) {
  sExpectOnPage(sSource("man/qn-update-server.1.scd"), "qn-update-server.1.scd",
                sLongOptions(qnserver::USAGE_TEXT));

  qntest::RunResult help = qntest::RunTool("birdtool", {"help"});
  ASSERT_EQ(help.status, 0) << help.err;
  std::set<std::string> options = sLongOptions(help.out);
  ASSERT_GT(options.size(), 10u);
  sExpectOnPage(sSource("man/birdtool.1.scd"), "birdtool.1.scd", options);
}

}  // namespace
