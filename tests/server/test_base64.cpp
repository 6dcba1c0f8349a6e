#include "base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>

#include "server_test_support.h"

namespace {

struct FreeDeleter {
  void operator()(void* block) const { free(block); }
};

// Decodes the text; the decoded bytes, or nothing when the decoder refused it.
struct Decoded {
  bool refused = true;
  std::string bytes;
  bool terminated = false;  // a 0 byte follows the decoded bytes
};

Decoded Decode(const std::string& text) {
  Decoded result;
  unsigned long length = 12345;
  std::unique_ptr<unsigned char, FreeDeleter> block(
      base64_decode(text.data(), text.size(), &length));
  if (!block) {
    EXPECT_EQ(length, 12345u) << "a refused text must leave the length alone";
    return result;
  }
  result.refused = false;
  result.bytes.assign(reinterpret_cast<const char*>(block.get()), length);
  result.terminated = block.get()[length] == 0;
  return result;
}

std::string Encode(const std::string& bytes) {
  unsigned long length = 0;
  std::unique_ptr<char, FreeDeleter> text(
      base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length));
  EXPECT_TRUE(text);
  if (!text) return std::string();
  EXPECT_EQ(strlen(text.get()), length);
  return std::string(text.get(), length);
}

struct DecodeCase {
  const char* name;
  std::string text;
  std::string bytes;
};

std::ostream& operator<<(std::ostream& out, const DecodeCase& c) { return out << c.name; }

class Base64Decode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(Base64Decode, GivesTheBytesFollowedByAZeroByte) {
  const DecodeCase& c = GetParam();
  Decoded decoded = Decode(c.text);
  ASSERT_FALSE(decoded.refused);
  EXPECT_EQ(decoded.bytes, c.bytes);
  EXPECT_TRUE(decoded.terminated);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Base64Decode,
    ::testing::Values(DecodeCase{"three_bytes", "TWFu", "Man"}, DecodeCase{"one_pad", "TWE=", "Ma"},
                      DecodeCase{"two_pads", "TQ==", "M"},
                      DecodeCase{"rfc_foobar", "Zm9vYmFy", "foobar"},
                      DecodeCase{"rfc_fooba", "Zm9vYmE=", "fooba"},
                      DecodeCase{"rfc_foob", "Zm9vYg==", "foob"},
                      DecodeCase{"plus_and_slash", "+/+/", "\xfb\xff\xbf"},
                      DecodeCase{"zero_bytes", "AAAA", std::string(3, '\0')},
                      // A CR LF answer leaves a carriage return at the end of its line.
                      DecodeCase{"trailing_cr_dropped", "TWFu\r", "Man"},
                      DecodeCase{"trailing_cr_after_padding", "TWE=\r", "Ma"},
                      // "=" stands for zero bits wherever it is; the count follows the last two.
                      DecodeCase{"pad_before_last_only", "TQ=B", std::string("M\0", 2)},
                      DecodeCase{"pad_inside", "TQ==TWFu", std::string("M\0\0Man", 6)}),
    servertest::CaseName<DecodeCase>);

struct RefusedCase {
  const char* name;
  std::string text;
};

std::ostream& operator<<(std::ostream& out, const RefusedCase& c) { return out << c.name; }

class Base64Refused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(Base64Refused, GivesNull) { EXPECT_TRUE(Decode(GetParam().text).refused); }

INSTANTIATE_TEST_SUITE_P(
    Texts, Base64Refused,
    ::testing::Values(RefusedCase{"empty", ""}, RefusedCase{"only_cr", "\r"},
                      RefusedCase{"five_characters", "TWFuT"}, RefusedCase{"two_characters", "TW"},
                      RefusedCase{"two_crs", "TWFu\r\r"}, RefusedCase{"crlf", "TWFu\r\n"},
                      RefusedCase{"line_break_inside", "TWFu\nTWFu"}, RefusedCase{"space", "TW u"},
                      RefusedCase{"url_alphabet_minus", "TW-u"},
                      RefusedCase{"url_alphabet_underscore", "TW_u"},
                      RefusedCase{"zero_byte", std::string("TW\0u", 4)},
                      RefusedCase{"high_byte", "TW\xc3u"}, RefusedCase{"cr_inside", "TW\ru"}),
    servertest::CaseName<RefusedCase>);

TEST(Base64, NullTextIsRefused) {
  unsigned long length = 7;
  EXPECT_EQ(base64_decode(nullptr, 4, &length), nullptr);
  EXPECT_EQ(length, 7u);
}

TEST(Base64, OnlyTheGivenLengthIsRead) {
  // The decoder stops at the length, so a valid prefix of a longer buffer decodes alone.
  const char text[] = "TWFu!!!!";
  unsigned long length = 0;
  std::unique_ptr<unsigned char, FreeDeleter> block(base64_decode(text, 4, &length));
  ASSERT_TRUE(block);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block.get()), length), "Man");
}

TEST(Base64, EncodesTheRfcVectors) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {"abc", "YWJj"}};
  for (const auto& v : vectors) EXPECT_EQ(Encode(v.first), v.second) << "bytes '" << v.first << "'";
}

TEST(Base64, EveryByteValueAndLengthSurvivesTheRoundTrip) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t length = 1; length <= all.size(); ++length) {
    const std::string bytes = all.substr(all.size() - length);
    const std::string text = Encode(bytes);
    EXPECT_EQ(text.size(), 4 * ((length + 2) / 3));
    Decoded decoded = Decode(text);
    ASSERT_FALSE(decoded.refused) << "length " << length;
    EXPECT_EQ(decoded.bytes, bytes) << "length " << length;
  }
}

}  // namespace
