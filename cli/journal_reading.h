// The fiscal journal read back whole, for sat_journal (and the tests and the
// soak): every sale and cancellation with its intent, outcome and
// settlement, and the torn lines found on the way.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "journal_file.h"

namespace zunra {

// One sale or cancellation: its intent, its outcome and a settlement, each
// when present, matched by the intent's id.
struct JournalEntry {
  std::string id;
  bool has_intent = false;
  RecordFields intent, outcome, settled;
  bool has_outcome = false, has_settled = false;

  // What the unit did, when known: the settlement's result, else the
  // outcome's unless it is unknown. Empty when nothing known yet.
  std::string known_result() const;
  const RecordFields& deciding() const;  // the record known_result() comes from
};

struct TornLine {
  std::string file;
  long line;  // from 1
};

struct JournalContents {
  bool found = false;                 // the current file or the old generation exists
  int error = 0;                      // errno of a file that is there but cannot be read
  std::vector<JournalEntry> entries;  // in the order of their first record
  std::vector<TornLine> torn;
};

// Reads the old generation, then the current file, under the writers'
// lock (waited for, bounded), so that no line is read half written.
JournalContents read_journal(const std::string& path);

}  // namespace zunra
