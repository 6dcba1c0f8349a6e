// The option parser over the program's option table, the command-line parse into the
// settings record, the digit readers and the build-date text.

#include <ostream>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Log.h"
#include "Params.h"
#include "SimpleOpt.h"

namespace {

using Parser = CSimpleOptTempl<char>;

// A command line as a mutable word list, the program name first.
class Words {
 public:
  explicit Words(const std::vector<std::string>& words) {
    storage_.push_back("updater");
    storage_.insert(storage_.end(), words.begin(), words.end());
    for (std::string& word : storage_) pointers_.push_back(&word[0]);
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(pointers_.size()) - 1; }
  char** argv() { return pointers_.data(); }
  // The words in the list's current order, as C strings (cut at any "=" written into them).
  std::vector<std::string> order() const {
    std::vector<std::string> result;
    for (int i = 0; i < argc(); ++i) result.push_back(pointers_[static_cast<size_t>(i)]);
    return result;
  }

 private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};

// Every result of a parse, one text each: "TEXT" or "TEXT=VALUE" for an option,
// "E<code>:TEXT" for an error.
std::vector<std::string> Results(Words& words) {
  Parser parser(words.argc(), words.argv(), g_rgOptions, 0);
  std::vector<std::string> results;
  while (parser.Next()) {
    std::string text = parser.OptionText() ? parser.OptionText() : "(null)";
    if (parser.LastError() != 0)
      results.push_back("E" + std::to_string(parser.LastError()) + ":" + text);
    else if (parser.OptionArg())
      results.push_back(text + "=" + parser.OptionArg());
    else
      results.push_back(text);
  }
  return results;
}

struct ParserCase {
  const char* name;
  std::vector<std::string> words;
  std::vector<std::string> results;
  std::vector<std::string> order;  // word list after parsing, program name left out
};
void PrintTo(const ParserCase& c, std::ostream* os) { *os << c.name; }

const ParserCase kParserCases[] = {
    {"ExactShortOption", {"-D"}, {"-D"}, {"-D"}},
    {"PrefixSelectsOverride", {"-O"}, {"-OVERRIDE"}, {"-O"}},
    {"LongerPrefixSelectsOverride", {"-OVER"}, {"-OVERRIDE"}, {"-OVER"}},
    {"PrefixSelectsHelp", {"--he"}, {"--help"}, {"--he"}},
    {"SharedPrefixIsAmbiguous",
     {"--h", "--ht", "--htt"},
     {"E-2:--h", "E-2:--ht", "E-2:--htt"},
     {"--h", "--ht", "--htt"}},
    {"HttpAndHttpsMatchExactly",
     {"--http", "--https"},
     {"--http", "--https"},
     {"--http", "--https"}},
    {"OneHyphenNeverMatchesTwo", {"-help"}, {"E-1:-help"}, {"-help"}},
    {"TwoHyphensNeverMatchOne", {"--d"}, {"E-1:--d"}, {"--d"}},
    {"WordLongerThanOption", {"-usb"}, {"E-1:-usb"}, {"-usb"}},
    {"BareHyphenIsUnknown", {"-"}, {"E-1:-"}, {"-"}},
    {"OptionsAreCaseSensitive",
     {"-o", "9600", "-O"},
     {"-o=9600", "-OVERRIDE"},
     {"-o", "9600", "-O"}},
    {"ValueAsNextWord", {"-d", "1234"}, {"-d=1234"}, {"-d", "1234"}},
    {"ValueAfterEquals", {"-d=0x1A2B"}, {"-d=0x1A2B"}, {"-d"}},
    {"EmptyValueAfterEquals", {"-b="}, {"-b="}, {"-b"}},
    {"ValueKeepsLaterEquals", {"-u=a=b"}, {"-u=a=b"}, {"-u"}},
    {"PrefixWithEqualsValue", {"-OVER=1"}, {"E-3:-OVERRIDE"}, {"-OVER"}},
    {"ValueGivenToFlag", {"-D=1"}, {"E-3:-D"}, {"-D"}},
    {"ValueMissingAtEnd", {"-d"}, {"E-5:-d"}, {"-d"}},
    {"ValueThatIsAnOption", {"-d", "-D"}, {"E-6:-d", "-D"}, {"-d", "-D"}},
    {"PlainWordsGoLast",
     {"x", "-d", "5", "y", "-D", "z"},
     {"-d=5", "-D"},
     {"-d", "5", "-D", "x", "y", "z"}},
    {"PlainWordIsNoValueOfALaterOption", {"x", "-d"}, {"E-5:-d"}, {"-d", "x"}},
    {"UnknownOptionKeepsItsPlace",
     {"a", "-q", "b", "-D"},
     {"E-1:-q", "-D"},
     {"-q", "-D", "a", "b"}},
    {"EqualsInPlainWordIsKept", {"a=b", "-I"}, {"-I"}, {"-I", "a=b"}},
    {"OnlyPlainWords", {"a", "b"}, {}, {"a", "b"}},
};

class ParserTable : public ::testing::TestWithParam<ParserCase> {};

TEST_P(ParserTable, ResultsAndWordOrder) {
  const ParserCase& c = GetParam();
  Words words(c.words);
  EXPECT_EQ(Results(words), c.results);
  std::vector<std::string> order = {"updater"};
  order.insert(order.end(), c.order.begin(), c.order.end());
  EXPECT_EQ(words.order(), order);
}

INSTANTIATE_TEST_SUITE_P(SimpleOpt, ParserTable, ::testing::ValuesIn(kParserCases),
                         [](const ::testing::TestParamInfo<ParserCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(SimpleOpt, NoWordsAtAllEndsAtOnce) {
  Parser parser(0, nullptr, g_rgOptions, 0);
  EXPECT_FALSE(parser.Next());
  EXPECT_EQ(parser.OptionId(), -1);

  Words programOnly({});
  Parser onlyProgram(programOnly.argc(), programOnly.argv(), g_rgOptions, 0);
  EXPECT_FALSE(onlyProgram.Next());
}

TEST(SimpleOpt, ManyPlainWordsAreReorderedWithoutLoss) {
  // More words than the parser's fixed scratch list holds.
  std::vector<std::string> input;
  for (int i = 0; i < 120; ++i) input.push_back("w" + std::to_string(i));
  input.push_back("-d");
  input.push_back("42");
  for (int i = 120; i < 130; ++i) input.push_back("w" + std::to_string(i));
  input.push_back("-D");

  Words words(input);
  EXPECT_EQ(Results(words), (std::vector<std::string>{"-d=42", "-D"}));
  std::vector<std::string> expected = {"updater", "-d", "42", "-D"};
  for (int i = 0; i < 130; ++i) expected.push_back("w" + std::to_string(i));
  EXPECT_EQ(words.order(), expected);
}

TEST(SimpleOpt, RefusesWhatItDoesNotCarry) {
  const Parser::SOption joinedValue[] = {{1, "-a", 2}, {-1, nullptr, 0}};
  Words words({"-a"});
  Parser parser;
  EXPECT_FALSE(parser.Init(words.argc(), words.argv(), g_rgOptions, 0x8));
  EXPECT_FALSE(parser.Next());
  EXPECT_FALSE(parser.Init(words.argc(), words.argv(), joinedValue, 0));
  EXPECT_FALSE(parser.Next());
  EXPECT_TRUE(parser.Init(words.argc(), words.argv(), g_rgOptions, 0));
}

TEST(SimpleOpt, ReInitStartsAFreshParse) {
  std::vector<std::string> many(60, "plain");
  many.push_back("-D");
  Words first(many);
  Words second({"-I"});
  Parser parser(first.argc(), first.argv(), g_rgOptions, 0);
  ASSERT_TRUE(parser.Next());
  EXPECT_STREQ(parser.OptionText(), "-D");
  ASSERT_TRUE(parser.Init(second.argc(), second.argv(), g_rgOptions, 0));
  ASSERT_TRUE(parser.Next());
  EXPECT_STREQ(parser.OptionText(), "-I");
  EXPECT_FALSE(parser.Next());
}

// ---------------------------------------------------------------------------
// Digit readers

struct DigitCase {
  const char* text;
  bool hex;
  uint32_t value;
  const char* rest;
};

const DigitCase kDigitCases[] = {
    {"1234", false, 1234, ""},
    {"007", false, 7, ""},
    {"", false, 0, ""},
    {"4294967295", false, 4294967295u, ""},
    {"000000000004294967295", false, 4294967295u, ""},
    {"4294967296", false, 0, "4294967296"},
    {"99999999999999999999999", false, 0, "99999999999999999999999"},
    {"12zz", false, 0, "zz"},
    {"96k", false, 0, "k"},
    {"-1", false, 0, "-1"},
    {" 5", false, 0, " 5"},
    {"1A", false, 0, "A"},
    {"1a2B", true, 0x1A2B, ""},
    {"FFFFFFFF", true, 0xFFFFFFFF, ""},
    {"00000000FFFFFFFF", true, 0xFFFFFFFF, ""},
    {"100000000", true, 0, "100000000"},
    {"12g", true, 0, "g"},
    {"0x10", true, 0, "x10"},
    {"", true, 0, ""},
};

TEST(DigitReaders, Table) {
  for (const DigitCase& c : kDigitCases) {
    char* rest = nullptr;
    uint32_t value = c.hex ? _get_hex_arg(c.text, &rest) : _get_int_arg(c.text, &rest);
    EXPECT_EQ(value, c.value) << c.text << (c.hex ? " (hex)" : " (decimal)");
    ASSERT_NE(rest, nullptr) << c.text;
    EXPECT_STREQ(rest, c.rest) << c.text;
  }
}

TEST(DigitReaders, WithoutRestPointerGiveZero) {
  EXPECT_EQ(_get_int_arg("123", nullptr), 0u);
  EXPECT_EQ(_get_hex_arg("123", nullptr), 0u);
}

// ---------------------------------------------------------------------------
// _get_params

// Runs one parse with the messages on standard error captured.
struct ParseOutcome {
  int result;
  std::string errors;
  std::vector<std::string> order;
};

ParseOutcome Parse(const std::vector<std::string>& input, Parameters& params) {
  CLI_Display display;
  Words words(input);
  ::testing::internal::CaptureStderr();
  int result = _get_params(display, words.argc(), words.argv(), &params);
  std::string errors = ::testing::internal::GetCapturedStderr();
  return {result, errors, words.order()};
}

struct ParamsCase {
  const char* name;
  std::vector<std::string> words;
  int result;
  std::string errors;
  std::function<void(const Parameters&)> check;
};
void PrintTo(const ParamsCase& c, std::ostream* os) { *os << c.name; }

std::string Unprocessed(const std::string& option, const std::string& rest) {
  return "Invalid format for \"" + option + "\" parameter, unprocessed characters [" + rest + "]\n";
}

std::string InvalidSerial(const std::string& value) {
  return "Invalid serial number obtained from argument [" + value + "]\n";
}

std::string InvalidRouter(const std::string& value) {
  return "Invalid router serial number obtained from argument [" + value + "]\n";
}

const std::string kMultipleUrls =
    "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.\n";
const std::string kTransport =
    "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n";

void NoCheck(const Parameters&) {}

const ParamsCase kParamsCases[] = {
    {"Defaults",
     {},
     0,
     "",
     [](const Parameters& p) {
       EXPECT_FALSE(p.commands.IsSet(0xFFFFFFFF));
       EXPECT_EQ(p.serialNumber, 0u);
       EXPECT_EQ(p.routerSerialNumber, 0u);
       EXPECT_EQ(p.linkType, aLINK_TYPE_USB);
       EXPECT_FALSE(p.linkTypeGiven);
       EXPECT_EQ(p.baudRate, 115200u);
       EXPECT_EQ(p.serverUrl, UPDATE_SERVER_HTTP_URL);
       EXPECT_EQ(p.logFile, "Updater.log");
       EXPECT_TRUE(p.ueiBytes);
       EXPECT_FALSE(p.override);
       EXPECT_FALSE(p.help);
       EXPECT_FALSE(p.debugMaskGiven);
       EXPECT_TRUE(p.buildText.empty());
       EXPECT_TRUE(p.storeDirectory.empty());
       EXPECT_EQ(p.programName, "updater");
     }},
    // Commands
    {"CommandBits",
     {"-B", "-L", "-D", "-G", "-I", "-U", "-N", "-C", "-J", "-Z", "x"},
     0,
     "",
     [](const Parameters& p) {
       for (uint32_t bit : {0x1u, 0x2u, 0x4u, 0x8u, 0x10u, 0x20u, 0x40u, 0x80u, 0x100u, 0x200u})
         EXPECT_TRUE(p.commands.IsSet(bit)) << bit;
       EXPECT_FALSE(p.commands.IsSet(CMD_HELP));
     }},
    {"OverridePrefixes", {"-O"}, 0, "", [](const Parameters& p) { EXPECT_TRUE(p.override); }},
    {"OverridePrefixOver", {"-OVER"}, 0, "", [](const Parameters& p) { EXPECT_TRUE(p.override); }},
    {"UnhandledCommand",
     {"-Y", "-D"},
     1,
     "Unhandled command: [-Y]\n",
     [](const Parameters& p) { EXPECT_TRUE(p.commands.IsSet(CMD_DISCOVER)); }},
    {"HelpAfterFailureSucceeds",
     {"-Y", "-h"},
     0,
     "Unhandled command: [-Y]\n",
     [](const Parameters& p) {
       EXPECT_TRUE(p.help);
       EXPECT_TRUE(p.commands.IsSet(CMD_HELP));
     }},
    {"HelpEndsParsing",
     {"-h", "-X", "1", "-d", "0"},
     0,
     "",
     [](const Parameters& p) {
       EXPECT_TRUE(p.help);
       EXPECT_FALSE(p.debugMaskGiven);
     }},
    {"MaskBeforeHelp",
     {"-X", "1", "-H"},
     0,
     "",
     [](const Parameters& p) {
       EXPECT_TRUE(p.help);
       EXPECT_TRUE(p.debugMaskGiven);
     }},
    {"LongHelpPrefix", {"--he"}, 0, "", [](const Parameters& p) { EXPECT_TRUE(p.help); }},
    {"SkippedWords",
     {"--h", "--htt", "-help", "-usb", "plain", "-D=1"},
     0,
     "",
     [](const Parameters& p) {
       EXPECT_FALSE(p.commands.IsSet(0xFFFFFFFF));
       EXPECT_FALSE(p.help);
     }},
    // -d and -r
    {"SerialAfterEqualsWithPrefix",
     {"-d=0x1A2B"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x1A2Bu); }},
    {"SerialUpperPrefix",
     {"-d", "0X40f5849a"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0x40F5849Au); }},
    {"SerialLargest",
     {"-d", "FFFFFFFF"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0xFFFFFFFFu); }},
    {"SerialZero", {"-d", "0"}, 1, InvalidSerial("0"), NoCheck},
    {"SerialEmpty", {"-d="}, 1, InvalidSerial(""), NoCheck},
    {"SerialPrefixOnly", {"-d", "0x"}, 1, InvalidSerial(""), NoCheck},
    {"SerialTrailingCharacters",
     {"-d", "12zz"},
     1,
     Unprocessed("-d", "zz") + InvalidSerial("12zz"),
     [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0u); }},
    {"SerialLastWordSkipped",
     {"-d"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0u); }},
    {"SerialFollowedByOption",
     {"-d", "-D"},
     0,
     "",
     [](const Parameters& p) {
       EXPECT_EQ(p.serialNumber, 0u);
       EXPECT_TRUE(p.commands.IsSet(CMD_DISCOVER));
     }},
    {"SerialOverflowHex",
     {"-d", "100000000"},
     1,
     Unprocessed("-d", "100000000") + InvalidSerial("100000000"),
     [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0u); }},
    {"SerialOverflowPrefixed",
     {"-d", "0x100000000"},
     1,
     Unprocessed("-d", "100000000") + InvalidSerial("100000000"),
     [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 0u); }},
    {"SerialNegative", {"-d=-5"}, 1, Unprocessed("-d", "-5") + InvalidSerial("-5"), NoCheck},
    {"Router",
     {"-r", "0xD272031D"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.routerSerialNumber, 0xD272031Du); }},
    {"RouterZero", {"-r", "0"}, 1, InvalidRouter("0"), NoCheck},
    {"RouterTrailing", {"-r", "D27x"}, 1, Unprocessed("-r", "x") + InvalidRouter("D27x"), NoCheck},
    {"RouterOverflow",
     {"-r", "FFFFFFFFF"},
     1,
     Unprocessed("-r", "FFFFFFFFF") + InvalidRouter("FFFFFFFFF"),
     [](const Parameters& p) { EXPECT_EQ(p.routerSerialNumber, 0u); }},
    // -b and -o
    {"BuildLeadingZeros",
     {"-b", "007"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.buildText, "7"); }},
    {"BuildEmpty", {"-b="}, 0, "", [](const Parameters& p) { EXPECT_EQ(p.buildText, "0"); }},
    {"BuildLargest",
     {"-b", "4294967295"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.buildText, "4294967295"); }},
    {"BuildTrailing",
     {"-b", "12zz"},
     1,
     Unprocessed("-b", "zz"),
     [](const Parameters& p) { EXPECT_EQ(p.buildText, ""); }},
    {"BuildOverflow",
     {"-b", "4294967296"},
     1,
     Unprocessed("-b", "4294967296"),
     [](const Parameters& p) { EXPECT_EQ(p.buildText, ""); }},
    {"BuildHugeDecimal",
     {"-b", "123456789012345678901234567890"},
     1,
     Unprocessed("-b", "123456789012345678901234567890"),
     NoCheck},
    {"BuildNegative", {"-b=-1"}, 1, Unprocessed("-b", "-1"), NoCheck},
    {"Baud", {"-o", "9600"}, 0, "", [](const Parameters& p) { EXPECT_EQ(p.baudRate, 9600u); }},
    {"BaudTrailing",
     {"-o", "96k"},
     1,
     Unprocessed("-o", "k"),
     [](const Parameters& p) { EXPECT_EQ(p.baudRate, 115200u); }},
    {"BaudOverflow",
     {"-o", "99999999999"},
     1,
     Unprocessed("-o", "99999999999"),
     [](const Parameters& p) { EXPECT_EQ(p.baudRate, 115200u); }},
    {"BaudNegative", {"-o=-1"}, 1, Unprocessed("-o", "-1"), NoCheck},
    // -X
    {"MaskHex",
     {"-X", "0x100"},
     0,
     "",
     [](const Parameters& p) {
       EXPECT_TRUE(p.debugMaskGiven);
       EXPECT_EQ(p.debugMask, 0x100u);
       EXPECT_EQ(Log::package_bitmask, 0x100u);
     }},
    {"MaskDecimalAccumulates",
     {"-X", "16", "-X", "0X1"},
     0,
     "",
     [](const Parameters&) { EXPECT_EQ(Log::package_bitmask, 0x11u); }},
    {"MaskTrailingNotActivated",
     {"-X", "12abc"},
     0,
     Unprocessed("-X", "abc"),
     [](const Parameters& p) {
       EXPECT_TRUE(p.debugMaskGiven);
       EXPECT_EQ(p.debugMask, 12u);
       EXPECT_EQ(Log::package_bitmask, 0u);
     }},
    // -t
    {"TransportTcpip",
     {"-t", "TCPIP"},
     0,
     "",
     [](const Parameters& p) {
       EXPECT_EQ(p.linkType, aLINK_TYPE_TCPIP);
       EXPECT_TRUE(p.linkTypeGiven);
     }},
    {"TransportUsbPrefix",
     {"-t", "USBX"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.linkType, aLINK_TYPE_USB); }},
    {"TransportRecover",
     {"-t", "RECOVER"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.linkType, LINK_TYPE_RECOVER); }},
    {"TransportLowerCase",
     {"-t", "usb"},
     1,
     kTransport,
     [](const Parameters& p) {
       EXPECT_EQ(p.linkType, LINK_TYPE_NONE);
       EXPECT_TRUE(p.linkTypeGiven);
     }},
    // -m
    {"UeiBytesOff", {"-m", "0"}, 0, "", [](const Parameters& p) { EXPECT_FALSE(p.ueiBytes); }},
    {"UeiBytesTrue",
     {"-m", "0", "-m", "true"},
     0,
     "",
     [](const Parameters& p) { EXPECT_TRUE(p.ueiBytes); }},
    {"UeiBytesOneAnything",
     {"-m", "0", "-m", "1x"},
     0,
     "",
     [](const Parameters& p) { EXPECT_TRUE(p.ueiBytes); }},
    {"UeiBytesOtherWord",
     {"-m", "yes"},
     0,
     "",
     [](const Parameters& p) { EXPECT_FALSE(p.ueiBytes); }},
    // Server URL
    {"Https",
     {"--https"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.serverUrl, UPDATE_SERVER_HTTPS_URL); }},
    {"HostAndPort",
     {"-u", "127.0.0.1:8080"},
     0,
     "",
     [](const Parameters& p) { EXPECT_EQ(p.serverUrl, "127.0.0.1:8080"); }},
    {"UrlAndHttps", {"-u", "127.0.0.1:8080", "--https"}, 1, kMultipleUrls, NoCheck},
    {"HttpTwice", {"--http", "--http"}, 1, kMultipleUrls, NoCheck},
    // Stored values and flags
    {"StoredValues",
     {"-s", "/dev/ttyUSB0", "-f", "fw.bird", "-i", "/tmp/store", "-l", "note", "-k", "x.log", "-e",
      "-n"},
     0,
     "",
     [](const Parameters& p) {
       EXPECT_EQ(p.serialPort, "/dev/ttyUSB0");
       EXPECT_EQ(p.birdFilePath, "fw.bird");
       EXPECT_EQ(p.storeDirectory, "/tmp/store");
       EXPECT_EQ(p.logMessage, "note");
       EXPECT_EQ(p.logFile, "x.log");
       EXPECT_TRUE(p.echo);
       EXPECT_TRUE(p.networkFlag);
     }},
    {"FailuresAccumulate",
     {"-Y", "-b", "x", "-d", "5"},
     1,
     "Unhandled command: [-Y]\n" + Unprocessed("-b", "x"),
     [](const Parameters& p) { EXPECT_EQ(p.serialNumber, 5u); }},
};

class ParamsTable : public ::testing::TestWithParam<ParamsCase> {
 protected:
  void SetUp() override { Log::DeactivatePackage(0xFFFFFFFF); }
  void TearDown() override { Log::DeactivatePackage(0xFFFFFFFF); }
};

TEST_P(ParamsTable, ResultMessagesAndFields) {
  const ParamsCase& c = GetParam();
  Parameters params;
  ParseOutcome outcome = Parse(c.words, params);
  EXPECT_EQ(outcome.result, c.result);
  EXPECT_EQ(outcome.errors, c.errors);
  c.check(params);
  _release_params(&params);
}

INSTANTIATE_TEST_SUITE_P(GetParams, ParamsTable, ::testing::ValuesIn(kParamsCases),
                         [](const ::testing::TestParamInfo<ParamsCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(GetParams, ReparseResetsEveryField) {
  Parameters params;
  Parse({"-d", "5", "-t", "TCP", "-o", "9600", "--https", "-m", "0", "-b", "3", "-D"}, params);
  ParseOutcome outcome = Parse({}, params);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(params.serialNumber, 0u);
  EXPECT_EQ(params.linkType, aLINK_TYPE_USB);
  EXPECT_FALSE(params.linkTypeGiven);
  EXPECT_EQ(params.baudRate, 115200u);
  EXPECT_EQ(params.serverUrl, UPDATE_SERVER_HTTP_URL);
  EXPECT_TRUE(params.ueiBytes);
  EXPECT_TRUE(params.buildText.empty());
  EXPECT_FALSE(params.commands.IsSet(0xFFFFFFFF));
}

TEST(GetParams, NoWordsAtAll) {
  CLI_Display display;
  Parameters params;
  EXPECT_EQ(_get_params(display, 0, nullptr, &params), 0);
  EXPECT_EQ(params.programName, "");
  EXPECT_FALSE(params.commands.IsSet(0xFFFFFFFF));

  char* onlyNull[] = {nullptr};
  EXPECT_EQ(_get_params(display, 0, onlyNull, &params), 0);
}

TEST(GetParams, ProgramNameAfterLastSeparator) {
  const struct {
    const char* argv0;
    const char* name;
  } cases[] = {{"/usr/local/bin/updater", "updater"},
               {"C:\\tools\\up.exe", "up.exe"},
               {"a/b\\c", "c"},
               {"updater", "updater"},
               {"dir/", ""}};
  for (const auto& c : cases) {
    CLI_Display display;
    Parameters params;
    std::string word = c.argv0;
    char* argv[] = {&word[0], nullptr};
    EXPECT_EQ(_get_params(display, 1, argv, &params), 0);
    EXPECT_EQ(params.programName, c.name) << c.argv0;
  }
}

TEST(GetParams, WordListIsLeftOptionsFirst) {
  Parameters params;
  ParseOutcome outcome = Parse({"x", "-d=12", "y", "-t", "TCP", "-D"}, params);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(outcome.order,
            (std::vector<std::string>{"updater", "-d", "-t", "TCP", "-D", "x", "y"}));
}

// Reads what the log wrote into a temporary stream.
class LogCapture {
 public:
  LogCapture() : file_(tmpfile()) { Log::SetOutput(file_); }
  ~LogCapture() {
    Log::SetOutput(nullptr);
    Log::DeactivatePackage(0xFFFFFFFF);
    if (file_) fclose(file_);
  }
  std::string text() {
    std::string out;
    fflush(file_);
    rewind(file_);
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file_)) > 0) out.append(buffer, n);
    return out;
  }

 private:
  FILE* file_;
};

TEST(GetParams, LogsPrefixDropsAndTheWordList) {
  Log::DeactivatePackage(0xFFFFFFFF);
  LogCapture log;
  ASSERT_NE(Log::fh, nullptr);
  Parameters params;
  ParseOutcome outcome = Parse({"-X", "0x10001", "-d", "0x5", "-r=0xA", "word"}, params);
  EXPECT_EQ(outcome.result, 0);
  EXPECT_EQ(log.text(),
            "Discarding '0x' serial number prefix\n"
            "Discarding '0x' router serial number prefix\n"
            "\nApplication parameters:[updater]\n"
            "\t[updater]\n\t[-X]\n\t[0x10001]\n\t[-d]\n\t[0x5]\n\t[-r]\n\t[word]\n");
}

TEST(GetParams, NothingLoggedWithoutThePackages) {
  Log::DeactivatePackage(0xFFFFFFFF);
  LogCapture log;
  Parameters params;
  Parse({"-d", "0x5"}, params);
  EXPECT_EQ(log.text(), "");
}

TEST(GetParams, ValidateAcceptsEveryRecord) {
  Parameters params;
  EXPECT_EQ(_validate_params(&params), 0);
  params.linkType = 77;
  EXPECT_EQ(_validate_params(&params), 0);
}

TEST(GetParams, ReleaseFreesTheOwnedBuffer) {
  Parameters params;
  params.ownedBuffer = static_cast<char*>(malloc(16));
  _release_params(&params);
  EXPECT_EQ(params.ownedBuffer, nullptr);
  _release_params(&params);  // a second release is harmless
  _release_params(nullptr);
}

TEST(CommandsClass, SetAndIsSet) {
  CommandsClass commands;
  EXPECT_FALSE(commands.IsSet(0xFFFFFFFF));
  commands.Set(CMD_DISCOVER | CMD_JWT);
  EXPECT_TRUE(commands.IsSet(CMD_JWT));
  EXPECT_TRUE(commands.IsSet(CMD_UPDATE | CMD_DISCOVER));
  EXPECT_FALSE(commands.IsSet(CMD_UPDATE));
  EXPECT_TRUE(commands.IsSet(CMD_ANY));
  CommandsClass help;
  help.Set(CMD_HELP);
  EXPECT_FALSE(help.IsSet(CMD_ANY));
}

// ---------------------------------------------------------------------------
// Version text

TEST(Version, BuildDateIsNormalised) {
  const struct {
    const char* compiler;
    const char* shown;
  } cases[] = {
      {"May 26 2026", "May 26 2026"}, {"Jan  1 2027", "Jan 1 2027"}, {"Dec  9 2025", "Dec 9 2025"}};
  for (const auto& c : cases) EXPECT_EQ(_normalise_build_date(c.compiler), c.shown) << c.compiler;
}

TEST(Version, TextCarriesVersionAndDate) {
  std::string text = _app_version_text();
  EXPECT_EQ(text.rfind("Version: 2.12.4 ", 0), 0u) << text;
  EXPECT_EQ(text.find("  "), std::string::npos) << text;
}

}  // namespace
