// The service's two saved files, the books in /tmp and the pending traffic on flash, are records of
// "key=value" lines. Each is described by one table of fields, read and written by the same code,
// so that what is written always reads back and nothing else does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// What a field holds, and so how its value is checked, read and written.
enum class FieldKind : uint8_t {
  kCount,       // uint64_t, decimal
  kBytes,       // uint64_t, decimal, at most kMaxRecordBytes
  kTime,        // int64_t, decimal, not negative
  kIndex,       // long, decimal, at most 2^31 - 1
  kBootId,      // BootId: up to 36 of lowercase hex digits and '-', or empty
  kFullBootId,  // BootId: exactly 36 of them
  kInterface,   // InterfaceName: an interface's name, or empty
  kText,        // FailureText: any text, control characters made spaces, cut to fit
  kOutcome,     // CycleOutcome, by its name
  kOrigin,      // CounterRestart, by its name
  kEpoch,       // uint64_t: 16 lowercase hex digits
  kIccid,       // Iccid: a SIM's ICCID; empty is not written
  kSimBooks,    // SimBooks: "<iccid> <tx> <rx> <epoch> <seq>"; empty is not written
};

// No real link carries this much before a report is accepted; more is a broken file.
constexpr uint64_t kMaxRecordBytes = uint64_t{1} << 50;

struct SavedField {
  char key[14];
  FieldKind kind;
  uint8_t required;  // bit v set: a file of version v must hold it
  uint16_t offset;   // of the member in the record
};

struct RecordFormat {
  const SavedField* fields;
  size_t count;
  unsigned versions;  // bit v set: files of version v are read
  int current;        // the version written
};

// Reads text into *record, field by field; *version is the file's. nullptr, or the problem
// ("holds a value out of range", "is incomplete", ...), worded to follow the path. Keys the
// table does not know are passed over, so that a newer version's file still reads. On failure
// *record may be partly written: parse into a copy.
const char* parse_record(std::string_view text, const RecordFormat& format, void* record,
                         int* version);

// "version=N\n" and then every field's "key=value\n"; false when out is too small.
bool format_record(const RecordFormat& format, const void* record, char* out, size_t out_size);

// Whether two records hold the same bytes in every field of format: then they format alike.
bool same_fields(const RecordFormat& format, const void* a, const void* b);
