// The built-in reader of UCI files, for hosts without libuci. It follows libuci's parser step by
// step (the same line buffer, positions and error texts), so that a file means the same thing, and
// fails in the same words, on both back-ends. A few parsed packages are kept while their files'
// stat stamps stay the same, so that a cycle's lookups do not parse the same files again.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "common/resources.h"
#include "inputs/uci_lookup.h"

namespace {

constexpr size_t kNoName = static_cast<size_t>(-1);
constexpr size_t kPathSize = 1024;

// A growable array of plain structs, for the parsed package.
template <typename T>
class PodArray {
 public:
  PodArray() = default;
  ~PodArray() { free(items_); }
  PodArray(const PodArray&) = delete;
  PodArray& operator=(const PodArray&) = delete;

  bool push_back(const T& item) {
    if (size_ == capacity_) {
      size_t grown = capacity_ ? capacity_ * 2 : 16;
      T* items = static_cast<T*>(realloc(items_, grown * sizeof(T)));
      if (!items) return false;
      items_ = items;
      capacity_ = grown;
    }
    items_[size_++] = item;
    return true;
  }
  size_t size() const { return size_; }
  const T& operator[](size_t i) const { return items_[i]; }
  void clear() { size_ = 0; }

 private:
  T* items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Texts are kept as offsets into one arena, so that growing it moves nothing that is held.
struct Section {
  size_t type;
  size_t name;  // kNoName for an anonymous section
};

// One `option` or `list` statement, in file order; the option's value is worked out from them.
struct Assignment {
  size_t section;
  size_t name;
  size_t value;
  bool list;
};

struct Package {
  HeapText arena;
  PodArray<Section> sections;
  PodArray<Assignment> assignments;

  bool add_text(const char* text, size_t* offset) {
    *offset = arena.size();
    return arena.append(text, strlen(text) + 1);
  }
  const char* text(size_t offset) const { return arena.c_str() + offset; }
  void clear() {
    arena.clear();
    sections.clear();
    assignments.clear();
  }
};

// A parsed package and the stamp of the file it was parsed from. A file changed in place within
// the second of its mtime or ctime may keep the stamp (timestamps are coarse), so only a parse
// made in a later second than both is kept: any change after it gives a later ctime.
struct ParsedFile {
  bool kept = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{}, ctime{};
  Package package;

  bool stamped(const struct stat& st) const {
    return kept && dev == st.st_dev && ino == st.st_ino && size == st.st_size &&
           mtime.tv_sec == st.st_mtim.tv_sec && mtime.tv_nsec == st.st_mtim.tv_nsec &&
           ctime.tv_sec == st.st_ctim.tv_sec && ctime.tv_nsec == st.st_ctim.tv_nsec;
  }
  void stamp(const struct stat& st) {
    dev = st.st_dev;
    ino = st.st_ino;
    size = st.st_size;
    mtime = st.st_mtim;
    ctime = st.st_ctim;
  }
};

// The service reads three packages (easycwmp, network, and one at most besides).
constexpr size_t kParsedFiles = 3;
ParsedFile parsed_files[kParsedFiles];
size_t next_parsed_file = 0;

bool is_space(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}

// libuci's rule for names (name), package names (package) and section types (neither).
bool valid_word(const char* text, bool name, bool package) {
  if (!*text) return false;
  for (; *text; ++text) {
    unsigned char c = static_cast<unsigned char>(*text);
    if (isalnum(c) || c == '_') continue;
    if (c == '-' && package) continue;
    if (name || c < 33 || c > 126) return false;
  }
  return true;
}

bool valid_name(const char* text) {
  return valid_word(text, true, false);
}

size_t find_named_section(const Package& package, const char* name) {
  for (size_t i = 0; i < package.sections.size(); ++i) {
    size_t n = package.sections[i].name;
    if (n != kNoName && strcmp(package.text(n), name) == 0) return i;
  }
  return kNoName;
}

struct ParseFailure {
  const char* reason = nullptr;
  int line = 0;
  size_t byte = 0;
  bool out_of_memory = false;
};

class Parser {
 public:
  Parser(FILE* file, Package* package) : file_(file), package_(package) {}

  bool parse() {
    while (!eof_) {
      pos_ = 0;
      if (!read_line(0)) return false;
      if (at(0) != '\0' && !parse_line()) return false;
    }
    return true;
  }
  const ParseFailure& failure() const { return failure_; }

 private:
  char at(size_t i) const { return i < line_.size() ? line_.c_str()[i] : '\0'; }
  char cur() const { return at(pos_); }
  void put(size_t i, char c) {
    if (i < line_.size()) line_.data()[i] = c;
  }
  const char* str(size_t i) const { return line_.c_str() + (i < line_.size() ? i : line_.size()); }

  bool fail(const char* reason) {
    failure_.reason = reason;
    failure_.line = line_count_;
    failure_.byte = pos_;
    return false;
  }
  bool out_of_memory() {
    failure_.out_of_memory = true;
    return false;
  }

  // Reads the next physical line into the buffer at offset, as fgets would, keeping its '\n'.
  bool read_line(size_t offset) {
    if (!line_.reserve(offset)) return out_of_memory();
    line_.set_size(offset);
    size_t read = 0;
    int c;
    while ((c = getc(file_)) != EOF) {
      if (!line_.push_back(static_cast<char>(c))) return out_of_memory();
      ++read;
      if (c == '\n') {
        ++line_count_;
        break;
      }
    }
    if (c == EOF) eof_ = true;
    if (read) filled_ = line_.size();
    return true;
  }

  void skip_whitespace() {
    while (cur() && is_space(cur())) ++pos_;
  }

  void add_char(size_t* target) {
    put(*target, cur());
    ++*target;
    ++pos_;
  }

  // After a backslash: false in *keep when it ended the line and the next line was read in.
  bool parse_backslash(bool* keep) {
    ++pos_;
    char c = cur();
    *keep = !(c == '\0' || c == '\n' || (c == '\r' && at(pos_ + 1) == '\n' && !at(pos_ + 2)));
    return *keep || read_line(pos_);
  }

  bool parse_double_quote(size_t* target) {
    ++pos_;
    for (;;) {
      char c = cur();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\0') {
        if (!read_line(pos_)) return false;
        if (!cur()) return fail("EOF with unterminated \"");
        continue;
      }
      if (c == '\\') {
        bool keep;
        if (!parse_backslash(&keep)) return false;
        if (!keep) continue;
      }
      add_char(target);
    }
  }

  bool parse_single_quote(size_t* target) {
    ++pos_;
    for (;;) {
      char c = cur();
      if (c == '\'') {
        ++pos_;
        return true;
      }
      if (c == '\0') {
        if (!read_line(pos_)) return false;
        if (!cur()) return fail("EOF with unterminated '");
        continue;
      }
      add_char(target);
    }
  }

  // One word: quoted and unquoted parts joined, decoded in place at *target.
  bool parse_str(size_t* target) {
    bool next = true;
    do {
      char c = cur();
      if (c == '\'') {
        if (!parse_single_quote(target)) return false;
      } else if (c == '"') {
        if (!parse_double_quote(target)) return false;
      } else if (c == '#') {
        put(pos_, '\0');
        break;
      } else if (c == '\0') {
        break;
      } else if (c == ';') {
        next = false;
        break;
      } else {
        if (c == '\\') {
          bool keep;
          if (!parse_backslash(&keep)) return false;
          if (!keep) continue;
        }
        add_char(target);
      }
    } while (cur() && !is_space(cur()));
    if (cur() && next) ++pos_;
    put(*target, '\0');
    return true;
  }

  bool next_arg(bool required, bool name, bool package, size_t* arg) {
    skip_whitespace();
    size_t start = pos_;
    size_t target = pos_;
    if (cur() == ';') {
      put(pos_, '\0');
      ++pos_;
    } else if (!parse_str(&target)) {
      return false;
    }
    *arg = start;
    if (!at(start)) return !required || fail("insufficient arguments");
    if (name && !valid_word(str(start), true, package))
      return fail("invalid character in name field");
    return true;
  }

  bool assert_eol() {
    skip_whitespace();
    size_t extra;
    if (!next_arg(false, false, false, &extra)) return false;
    return !at(extra) || fail("too many arguments");
  }

  // Moves past the command word that parse_line cut off with a NUL.
  bool skip_command(const char* reason) {
    size_t length = strlen(str(pos_));
    if (pos_ + length + 1 > filled_) return fail(reason);
    pos_ += length + 1;
    return true;
  }

  bool parse_package() {
    size_t name;
    return skip_command("package without name") && next_arg(true, true, true, &name) &&
           assert_eol();
  }

  bool parse_config() {
    size_t type, name;
    if (!skip_command("config without name")) return false;
    if (!next_arg(true, false, false, &type)) return false;
    if (!valid_word(str(type), false, false)) return fail("invalid character in type field");
    if (!next_arg(false, true, false, &name) || !assert_eol()) return false;
    return open_section(str(type), str(name));
  }

  bool open_section(const char* type, const char* name) {
    size_t existing = *name ? find_named_section(*package_, name) : kNoName;
    if (existing != kNoName) {
      if (strcmp(package_->text(package_->sections[existing].type), type) != 0)
        return fail("section of different type overwrites prior section with same name");
      section_ = existing;
      return true;
    }
    Section section{0, kNoName};
    if (!package_->add_text(type, &section.type)) return out_of_memory();
    if (*name && !package_->add_text(name, &section.name)) return out_of_memory();
    if (!package_->sections.push_back(section)) return out_of_memory();
    section_ = package_->sections.size() - 1;
    return true;
  }

  bool parse_option(bool list) {
    if (section_ == kNoName) return fail("option/list command found before the first section");
    size_t name, value;
    if (!skip_command("option without name") || !next_arg(true, true, false, &name) ||
        !next_arg(false, false, false, &value) || !assert_eol())
      return false;
    // Setting an option to nothing changes nothing; an empty list item is an item.
    if (!list && !at(value)) return true;
    Assignment a{section_, 0, 0, list};
    if (!package_->add_text(str(name), &a.name) || !package_->add_text(str(value), &a.value) ||
        !package_->assignments.push_back(a))
      return out_of_memory();
    return true;
  }

  // The first word of a line or of a ';'-separated command: which statement it is.
  static char command_of(const char* word) {
    static const char* const kCommands[] = {"package", "config", "option", "list"};
    for (const char* command : kCommands) {
      if (word[0] == command[0] && (word[1] == '\0' || strcmp(word + 1, command + 1) == 0))
        return command[0];
    }
    return word[0] == '#' ? '#' : '\0';
  }

  bool parse_line() {
    skip_whitespace();
    for (;;) {
      size_t word = pos_;
      while (at(word) == ' ' || at(word) == '\t') ++word;
      if (!at(word)) return true;
      size_t end = word;
      while (at(end) && at(end) != ' ' && at(end) != '\t') ++end;
      put(end, '\0');
      bool ok;
      switch (command_of(str(word))) {
        case '#':
          return true;
        case 'p':
          ok = parse_package();
          break;
        case 'c':
          ok = parse_config();
          break;
        case 'o':
          ok = parse_option(false);
          break;
        case 'l':
          ok = parse_option(true);
          break;
        default:
          return fail("invalid command");
      }
      if (!ok) return false;
    }
  }

  FILE* file_;
  Package* package_;
  HeapText line_;
  size_t pos_ = 0;
  size_t filled_ = 0;
  int line_count_ = 0;
  bool eof_ = false;
  size_t section_ = kNoName;
  ParseFailure failure_;
};

UciLookup error(char* out, size_t out_size, const char* text) {
  copy_text(out, out_size, text);
  return UciLookup::kError;
}

// The section that "@type[N]" names (N from the end when negative); kNoName when none.
bool find_extended_section(const Package& package, const char* selector, size_t* found) {
  *found = kNoName;
  if (selector[0] != '@') return false;
  const char* open = strchr(selector + 1, '[');
  if (!open) return false;
  const char* close = strchr(open + 1, ']');
  if (!close || close[1] != '\0') return false;

  char type[kPathSize];
  size_t type_len = static_cast<size_t>(open - (selector + 1));
  if (type_len >= sizeof(type)) return false;
  memcpy(type, selector + 1, type_len);
  type[type_len] = '\0';
  if (type_len > 0 && !valid_word(type, false, false)) return false;

  char index_text[32];
  size_t index_len = static_cast<size_t>(close - (open + 1));
  if (index_len >= sizeof(index_text)) return false;
  memcpy(index_text, open + 1, index_len);
  index_text[index_len] = '\0';
  char* end = nullptr;
  long index = strtol(index_text, &end, 10);
  if (*end) return false;

  auto matches = [&](size_t i) {
    return type_len == 0 || strcmp(package.text(package.sections[i].type), type) == 0;
  };
  if (index < 0) {
    long count = 0;
    for (size_t i = 0; i < package.sections.size(); ++i) count += matches(i) ? 1 : 0;
    index += count;
  }
  long seen = 0;
  for (size_t i = 0; i < package.sections.size(); ++i) {
    if (!matches(i)) continue;
    if (seen++ == index) {
      *found = i;
      break;
    }
  }
  return true;
}

// Replays the option's statements: `option` replaces whatever was there; `list` appends, turning
// an earlier plain value into the list's first item.
bool option_value(const Package& package, size_t section, const char* option, char* value,
                  size_t value_size) {
  auto is_option = [&](const Assignment& a) {
    return a.section == section && strcmp(package.text(a.name), option) == 0;
  };
  // The last plain value, and how many list items came after it.
  size_t last_plain = kNoName;
  size_t items = 0;
  for (size_t i = 0; i < package.assignments.size(); ++i) {
    const Assignment& a = package.assignments[i];
    if (!is_option(a)) continue;
    if (a.list) {
      ++items;
    } else {
      last_plain = i;
      items = 0;
    }
  }
  if (last_plain == kNoName && items == 0) return false;
  if (items == 0) {
    copy_text(value, value_size, package.text(package.assignments[last_plain].value));
    return true;
  }

  size_t len = 0;
  if (value_size) value[0] = '\0';
  size_t first = last_plain == kNoName ? 0 : last_plain;
  for (size_t i = first; i < package.assignments.size(); ++i) {
    const Assignment& a = package.assignments[i];
    if (is_option(a)) uci_join_list_item(value, value_size, &len, package.text(a.value));
  }
  return true;
}

}  // namespace

UciLookup uci_lookup(const char* confdir, const char* path, char* value, size_t value_size,
                     char* error_text, size_t error_size) {
  if (value_size) value[0] = '\0';

  // The path's parts, split as libuci splits them: "pkg.section.option", a value after '='.
  char parts[kPathSize];
  copy_text(parts, sizeof(parts), path);
  if (char* assign = strchr(parts, '=')) *assign = '\0';
  char* rest = parts;
  const char* package_name = strsep(&rest, ".");
  const char* section_name = rest ? strsep(&rest, ".") : nullptr;
  const char* option_name = rest ? strsep(&rest, ".") : nullptr;
  if (rest) return error(error_text, error_size, "Parse error");
  if (!valid_word(package_name, false, true)) return error(error_text, error_size, "Parse error");
  bool extended = section_name && !valid_name(section_name);
  if (option_name && !valid_name(option_name)) return error(error_text, error_size, "Parse error");

  // Packages are files in confdir; a name starting with "/" or "./" is a path of its own.
  char file_name[kPathSize];
  if (package_name[0] == '.' && package_name[1] != '/')
    return error(error_text, error_size, "Entry not found");
  if (package_name[0] == '/' || package_name[0] == '.')
    copy_text(file_name, sizeof(file_name), package_name);
  else
    snprintf(file_name, sizeof(file_name), "%s/%s", confdir, package_name);
  // The second before the stat: a parse of a file last changed before it can be kept. The stamp
  // kept is the opened file's, the one parsed. The coarse clock is the one file times come from:
  // time() may read a finer one (musl's does), a tick into a second the file times are not in
  // yet, when an edit in place after the parse still gets the parsed file's stamp.
  timespec coarse{};
  clock_gettime(CLOCK_REALTIME_COARSE, &coarse);
  time_t now = coarse.tv_sec;
  struct stat st;
  if (stat(file_name, &st) != 0) return error(error_text, error_size, "Entry not found");
  ParsedFile* parsed = nullptr;
  for (size_t i = 0; i < kParsedFiles && !parsed; ++i) {
    if (parsed_files[i].stamped(st)) parsed = &parsed_files[i];
  }
  if (!parsed) {
    parsed = &parsed_files[next_parsed_file];
    next_parsed_file = (next_parsed_file + 1) % kParsedFiles;
    parsed->kept = false;
    parsed->package.clear();
    ScopedFile file(file_name, "re");
    if (!file || fstat(fileno(file.get()), &st) != 0)
      return error(error_text, error_size, "I/O error");
    Parser parser(file.get(), &parsed->package);
    if (!parser.parse()) {
      const ParseFailure& f = parser.failure();
      if (f.out_of_memory) return error(error_text, error_size, "Out of memory");
      snprintf(error_text, error_size, "Parse error (%s) at line %d, byte %zu", f.reason, f.line,
               f.byte);
      return UciLookup::kError;
    }
    parsed->stamp(st);
    parsed->kept = now > st.st_mtim.tv_sec && now > st.st_ctim.tv_sec;
  }
  const Package& package = parsed->package;

  if (!section_name) return UciLookup::kAbsent;
  size_t section;
  if (extended) {
    if (!find_extended_section(package, section_name, &section))
      return error(error_text, error_size, "Invalid argument");
  } else {
    section = find_named_section(package, section_name);
  }
  if (section == kNoName || !option_name) return UciLookup::kAbsent;
  return option_value(package, section, option_name, value, value_size) ? UciLookup::kFound
                                                                        : UciLookup::kAbsent;
}
