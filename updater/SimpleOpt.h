#pragma once

// Command-line option parser over a table of options.
//
// Words are matched against the table in order: an exact match wins, otherwise a
// unique prefix of an option's text selects it ("-O" for "-OVERRIDE"); leading
// hyphens must agree in number ("-help" never matches "--help"). A value may follow
// its option after "=" in the same word or as the next word. Words that do not begin
// with "-" are passed over and collected behind the options, so that after parsing the
// word list holds the options and their values first, in their order, and the plain
// words after them. Options in error (unknown, ambiguous, a missing or unwanted value)
// are reported one result at a time and the caller decides what to do with them.
//
// This build carries what the program needs: flags 0 and the argument kinds 0 (no
// value) and 1 (value required). Init refuses other flags and tables with other kinds.

#include <cstddef>
#include <cstring>
#include <new>

template <class SOCHAR>
class CSimpleOptTempl {
 public:
  // One row of an option table; a row with id -1 ends the table.
  struct SOption {
    int id;              // what the caller gets back for this option
    const SOCHAR* text;  // the option as typed, hyphens included
    int argKind;         // ARG_NONE or ARG_REQUIRED
  };

  enum ArgKind {
    ARG_NONE = 0,      // the option takes no value
    ARG_REQUIRED = 1,  // the option takes a value, after "=" or as the next word
  };

  // Results of LastError(); 0 means an option was recognised.
  enum Error {
    ERR_NONE = 0,
    ERR_UNKNOWN_OPTION = -1,  // a "-" word that matches no row
    ERR_AMBIGUOUS = -2,       // a prefix of several rows
    ERR_UNWANTED_VALUE = -3,  // "=value" given to an option that takes none
    ERR_VALUE_MISSING = -5,   // the option's value would be the next word, but there is none
    ERR_VALUE_IS_OPTION =
        -6,  // the next word begins with "-"; it is parsed as an option of its own
  };

  CSimpleOptTempl() = default;

  CSimpleOptTempl(int argc, SOCHAR** argv, const SOption* options, int flags = 0) {
    Init(argc, argv, options, flags);
  }

  ~CSimpleOptTempl() { delete[] heapScratch_; }

  CSimpleOptTempl(const CSimpleOptTempl&) = delete;
  CSimpleOptTempl& operator=(const CSimpleOptTempl&) = delete;

  // Starts a parse of argv[1..argc-1] (argv[0] is the program). The list is
  // reordered and words carrying "=" are cut in place. False when the flags or the
  // table ask for something this parser does not do, or the scratch list cannot be
  // had; Next() then reports the end at once.
  bool Init(int argc, SOCHAR** argv, const SOption* options, int flags = 0) {
    argc_ = 0;
    end_ = 0;
    argv_ = argv;
    options_ = options;
    nextArg_ = 1;
    scanStart_ = 1;
    ClearResult();
    delete[] heapScratch_;
    heapScratch_ = nullptr;
    scratch_ = fixedScratch_;

    if (flags != 0 || !options || (argc > 0 && !argv)) return false;
    for (const SOption* row = options; row->id != -1; ++row) {
      if (!row->text || (row->argKind != ARG_NONE && row->argKind != ARG_REQUIRED)) return false;
    }
    if (argc > kFixedScratch) {
      heapScratch_ = new (std::nothrow) SOCHAR*[static_cast<size_t>(argc)];
      if (!heapScratch_) return false;
      scratch_ = heapScratch_;
    }
    argc_ = argc < 0 ? 0 : argc;
    end_ = argc_;
    return true;
  }

  // Produces the next result: true with an option (LastError() 0) or an error,
  // false when the words are used up.
  bool Next() {
    ClearResult();
    scanStart_ = nextArg_;

    int row = -1;
    SOCHAR* value = nullptr;
    while (nextArg_ < end_) {
      SOCHAR* word = argv_[nextArg_];
      if (word[0] != '-') {
        ++nextArg_;  // not an option: passed over
        continue;
      }
      value = nullptr;
      if (SOCHAR* equals = FindEquals(word)) {
        *equals = '\0';
        value = equals + 1;
      }
      row = LookupOption(word);
      if (row < 0) {
        ShuffleArg(scanStart_, nextArg_ - scanStart_);
        lastError_ = row;
        optionText_ = argv_[nextArg_];
        ++nextArg_;
        return true;
      }
      break;
    }

    if (nextArg_ >= end_) {
      ShuffleArg(scanStart_, nextArg_ - scanStart_);
      return false;
    }

    // The option now sits where the scan began, its neighbour after it.
    ShuffleArg(scanStart_, nextArg_ - scanStart_);
    ++nextArg_;

    const SOption& option = options_[row];
    optionId_ = option.id;
    optionText_ = option.text;
    optionArg_ = value;
    if (option.argKind == ARG_NONE) {
      if (value) lastError_ = ERR_UNWANTED_VALUE;
      return true;
    }
    if (!value) lastError_ = MultiArg();
    return true;
  }

  int LastError() const { return lastError_; }
  int OptionId() const { return optionId_; }
  // The row's text (not the word as typed); for an unknown or ambiguous option the word.
  const SOCHAR* OptionText() const { return optionText_; }
  // The option's value, null when it has none.
  SOCHAR* OptionArg() const { return optionArg_; }

 private:
  static constexpr int kFixedScratch = 50;  // words reordered without a heap list

  void ClearResult() {
    lastError_ = ERR_NONE;
    optionId_ = -1;
    optionText_ = nullptr;
    optionArg_ = nullptr;
  }

  static SOCHAR* FindEquals(SOCHAR* word) {
    for (; *word; ++word) {
      if (*word == '=') return word;
    }
    return nullptr;
  }

  static bool IsEqual(SOCHAR left, SOCHAR right) { return left == right; }

  // How a word matches a row's text: kExactMatch, the length of a prefix match, or
  // 0 for no match.
  static constexpr int kExactMatch = -1;

  static int CalcMatch(const SOCHAR* rowText, const SOCHAR* word) {
    while (*rowText == '-' && *word == '-') {
      ++rowText;
      ++word;
    }
    if (*rowText == '-' || *word == '-') return 0;

    int length = 0;
    while (*rowText && *word && IsEqual(*rowText, *word)) {
      ++rowText;
      ++word;
      ++length;
    }
    if (!*rowText && !*word) return kExactMatch;
    if (!*word && length > 0) return length;
    return 0;
  }

  // The row index for a word, or ERR_UNKNOWN_OPTION / ERR_AMBIGUOUS.
  int LookupOption(const SOCHAR* word) const {
    int best = ERR_UNKNOWN_OPTION;
    int bestLength = 0;
    int tied = 0;
    for (int i = 0; options_[i].id != -1; ++i) {
      int match = CalcMatch(options_[i].text, word);
      if (match == kExactMatch) return i;
      if (match > bestLength) {
        best = i;
        bestLength = match;
        tied = 1;
      } else if (match > 0 && match == bestLength) {
        ++tied;
      }
    }
    return tied > 1 ? ERR_AMBIGUOUS : best;
  }

  // Takes the next word as the current option's value.
  int MultiArg() {
    if (nextArg_ >= end_) {
      nextArg_ = end_;
      return ERR_VALUE_MISSING;
    }
    SOCHAR* word = argv_[nextArg_];
    if (word[0] == '-') return ERR_VALUE_IS_OPTION;  // left to be parsed as an option
    optionArg_ = word;
    ++nextArg_;
    return ERR_NONE;
  }

  static void Copy(SOCHAR** destination, SOCHAR** source, int count) {
    if (count > 0) memmove(destination, source, static_cast<size_t>(count) * sizeof(SOCHAR*));
  }

  // Moves the count words passed over from index start on behind every other word,
  // keeping their order, and takes them out of the words still to scan.
  void ShuffleArg(int start, int count) {
    if (count <= 0) return;
    Copy(scratch_, argv_ + start, count);
    Copy(argv_ + start, argv_ + start + count, argc_ - start - count);
    Copy(argv_ + argc_ - count, scratch_, count);
    end_ -= count;
    nextArg_ -= count;
  }

  int argc_ = 0;                      // words in the list, the program included
  SOCHAR** argv_ = nullptr;           // the list, reordered while parsing
  const SOption* options_ = nullptr;  // the option table
  int nextArg_ = 1;                   // next word to scan
  int scanStart_ = 1;                 // where the current scan began
  int end_ = 0;                       // words from here on were passed over

  int optionId_ = -1;
  const SOCHAR* optionText_ = nullptr;
  SOCHAR* optionArg_ = nullptr;
  int lastError_ = ERR_NONE;

  SOCHAR* fixedScratch_[kFixedScratch] = {};
  SOCHAR** heapScratch_ = nullptr;
  SOCHAR** scratch_ = fixedScratch_;
};
