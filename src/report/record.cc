#include "report/record.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/key_value.h"
#include "inputs/interface.h"
#include "report/accounting.h"

namespace {

const char* const kOutcomeNames[] = {"none",    "accepted",       "refused", "failed",
                                     "skipped", "no-route-table", "deferred"};
static_assert(sizeof(kOutcomeNames) / sizeof(kOutcomeNames[0]) == kCycleOutcomes,
              "one name for each CycleOutcome");

const char* outcome_at(size_t i) {
  return outcome_name(static_cast<CycleOutcome>(i));
}
const char* origin_at(size_t i) {
  return origin_name(static_cast<CounterRestart>(i));
}

// The bytes a field of each kind takes in its record.
const uint8_t kFieldSizes[] = {
    8,                       // kCount
    8,                       // kBytes
    8,                       // kTime
    sizeof(long),            // kIndex
    kBootIdSize,             // kBootId
    kBootIdSize,             // kFullBootId
    kInterfaceNameSize,      // kInterface
    sizeof(FailureText),     // kText
    sizeof(CycleOutcome),    // kOutcome
    sizeof(CounterRestart),  // kOrigin
    8,                       // kEpoch
    sizeof(Iccid),           // kIccid
    sizeof(SimBooks),        // kSimBooks
};
static_assert(sizeof(kFieldSizes) == static_cast<size_t>(FieldKind::kSimBooks) + 1,
              "one size for each FieldKind");

// The enumerator whose name (name(i)) is word, or -1.
int index_of(const char* (*name)(size_t), size_t count, std::string_view word) {
  for (size_t i = 0; i < count; ++i) {
    if (word == name(i)) return static_cast<int>(i);
  }
  return -1;
}

template <typename T>
T& member(void* record, const SavedField& field) {
  return *reinterpret_cast<T*>(static_cast<char*>(record) + field.offset);
}
template <typename T>
const T& member(const void* record, const SavedField& field) {
  return *reinterpret_cast<const T*>(static_cast<const char*>(record) + field.offset);
}

bool parse_hex(std::string_view text, uint64_t* value) {
  if (text.size() != 16 || !all_of(text, "0123456789abcdef")) return false;
  char digits[17];
  memcpy(digits, text.data(), 16);
  digits[16] = '\0';
  *value = strtoull(digits, nullptr, 16);
  return true;
}

// As the SIM reader gives it (a trailing 'f' made 'F'), so that a file edited by hand never
// takes the same SIM for another.
bool parse_iccid(std::string_view text, Iccid* iccid) {
  if (!text.empty()) return normalise_iccid(text, *iccid);
  *iccid = {};
  return true;
}

// "<iccid> <tx> <rx> <epoch> <seq>": a closed SIM's books, each part as its own field has it.
bool parse_sim_books(std::string_view text, SimBooks* sim) {
  std::string_view part[5];
  const char* p = text.data();
  const char* end = p + text.size();
  for (std::string_view& each : part) {
    const char* space = p;
    while (space < end && *space != ' ') ++space;
    each = std::string_view(p, static_cast<size_t>(space - p));
    p = space < end ? space + 1 : end;
  }
  *sim = {};
  return p == end && !part[0].empty() && parse_iccid(part[0], &sim->iccid) &&
         parse_decimal(part[1], kMaxRecordBytes, &sim->traffic.tx) &&
         parse_decimal(part[2], kMaxRecordBytes, &sim->traffic.rx) &&
         parse_hex(part[3], &sim->epoch) && parse_decimal(part[4], UINT64_MAX, &sim->seq);
}

// Stores one value; false when it is not one the field can hold.
bool store(const SavedField& field, std::string_view value, void* record) {
  uint64_t n = 0;
  switch (field.kind) {
    case FieldKind::kCount:
    case FieldKind::kBytes:
      return parse_decimal(value, field.kind == FieldKind::kBytes ? kMaxRecordBytes : UINT64_MAX,
                           &member<uint64_t>(record, field));
    case FieldKind::kTime:
      if (!parse_decimal(value, INT64_MAX, &n)) return false;
      member<int64_t>(record, field) = static_cast<int64_t>(n);
      return true;
    case FieldKind::kIndex:
      if (!parse_decimal(value, 0x7fffffff, &n)) return false;
      member<long>(record, field) = static_cast<long>(n);
      return true;
    case FieldKind::kFullBootId:
      if (value.size() != kBootIdSize - 1) return false;
      return parse_boot_id(value, &member<BootId>(record, field));
    case FieldKind::kBootId:
      return parse_boot_id(value, &member<BootId>(record, field));
    case FieldKind::kInterface:
      if (!value.empty() && !is_interface_name(value)) return false;
      copy_view(member<InterfaceName>(record, field), value);
      return true;
    case FieldKind::kText:
      copy_printable(member<FailureText>(record, field), value);
      return true;
    case FieldKind::kOutcome: {
      int i = index_of(outcome_at, kCycleOutcomes, value);
      member<CycleOutcome>(record, field) = static_cast<CycleOutcome>(i);
      return i >= 0;
    }
    case FieldKind::kOrigin: {
      int i = index_of(origin_at, kCounterRestarts, value);
      member<CounterRestart>(record, field) = static_cast<CounterRestart>(i);
      return i >= 0;
    }
    case FieldKind::kEpoch:
      return parse_hex(value, &member<uint64_t>(record, field));
    case FieldKind::kIccid:
      return parse_iccid(value, &member<Iccid>(record, field));
    case FieldKind::kSimBooks:
      return parse_sim_books(value, &member<SimBooks>(record, field));
  }
  return false;
}

// Writes one field's "key=value\n"; the characters it took, or -1.
int print_field(const SavedField& field, const void* record, char* out, size_t out_size) {
  switch (field.kind) {
    case FieldKind::kCount:
    case FieldKind::kBytes:
      return snprintf(out, out_size, "%s=%" PRIu64 "\n", field.key,
                      member<uint64_t>(record, field));
    case FieldKind::kTime:
      return snprintf(out, out_size, "%s=%" PRId64 "\n", field.key, member<int64_t>(record, field));
    case FieldKind::kIndex:
      return snprintf(out, out_size, "%s=%ld\n", field.key, member<long>(record, field));
    case FieldKind::kBootId:
    case FieldKind::kFullBootId:
      return snprintf(out, out_size, "%s=%s\n", field.key, member<BootId>(record, field).data());
    case FieldKind::kInterface:
      return snprintf(out, out_size, "%s=%s\n", field.key,
                      member<InterfaceName>(record, field).data());
    case FieldKind::kText: {
      FailureText text{};
      copy_printable(text, member<FailureText>(record, field).data());
      return snprintf(out, out_size, "%s=%s\n", field.key, text.data());
    }
    case FieldKind::kOutcome:
      return snprintf(out, out_size, "%s=%s\n", field.key,
                      outcome_name(member<CycleOutcome>(record, field)));
    case FieldKind::kOrigin:
      return snprintf(out, out_size, "%s=%s\n", field.key,
                      origin_name(member<CounterRestart>(record, field)));
    case FieldKind::kEpoch:
      return snprintf(out, out_size, "%s=%016" PRIx64 "\n", field.key,
                      member<uint64_t>(record, field));
    case FieldKind::kIccid: {
      const Iccid& iccid = member<Iccid>(record, field);
      return iccid[0] ? snprintf(out, out_size, "%s=%s\n", field.key, iccid.data()) : 0;
    }
    case FieldKind::kSimBooks: {
      const SimBooks& sim = member<SimBooks>(record, field);
      if (!sim.iccid[0]) return 0;
      return snprintf(out, out_size, "%s=%s %" PRIu64 " %" PRIu64 " %016" PRIx64 " %" PRIu64 "\n",
                      field.key, sim.iccid.data(), sim.traffic.tx, sim.traffic.rx, sim.epoch,
                      sim.seq);
    }
  }
  return -1;
}

}  // namespace

const char* parse_record(std::string_view text, const RecordFormat& format, void* record,
                         int* version) {
  uint64_t seen = 0;
  int file_version = -1;
  const char* problem = nullptr;
  auto take = [&](std::string_view key, std::string_view value) {
    uint64_t n = 0;
    if (key == "version") {
      problem = "holds a value out of range";
      if (!parse_decimal(value, 1000000, &n)) return false;
      problem = "was written by another version";
      file_version = static_cast<int>(n);
      return n < 32 && (format.versions >> n & 1);
    }
    for (size_t i = 0; i < format.count; ++i) {
      if (key != format.fields[i].key) continue;
      problem = "holds a value out of range";
      seen |= uint64_t{1} << i;
      return store(format.fields[i], value, record);
    }
    return true;
  };
  if (!parse_lines(text, take, &problem)) return problem;
  for (size_t i = 0; i < format.count; ++i) {
    if (file_version < 0 || ((format.fields[i].required >> file_version & 1) && !(seen >> i & 1)))
      return "is incomplete";
  }
  *version = file_version;
  return nullptr;
}

bool format_record(const RecordFormat& format, const void* record, char* out, size_t out_size) {
  int n = snprintf(out, out_size, "version=%d\n", format.current);
  for (size_t i = 0; i < format.count && n >= 0 && static_cast<size_t>(n) < out_size; ++i) {
    int field = print_field(format.fields[i], record, out + n, out_size - static_cast<size_t>(n));
    n = field < 0 ? -1 : n + field;
  }
  return n >= 0 && static_cast<size_t>(n) < out_size;
}

const char* outcome_name(CycleOutcome outcome) {
  return kOutcomeNames[static_cast<int>(outcome)];
}

bool same_fields(const RecordFormat& format, const void* a, const void* b) {
  for (size_t i = 0; i < format.count; ++i) {
    const SavedField& field = format.fields[i];
    if (memcmp(static_cast<const char*>(a) + field.offset,
               static_cast<const char*>(b) + field.offset,
               kFieldSizes[static_cast<size_t>(field.kind)]) != 0)
      return false;
  }
  return true;
}
