#include "station/recovery.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "records/results_reader.h"
#include "runlog/verdict.h"
#include "station/board_log.h"
#include "station/run_record.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kNoteEnd = ".run";
// The note's first line: "results IDENTITY PATH". No record, so that a
// reader of records passes over it to the record on the second line.
constexpr const char* kOwnerWord = "results ";

// The results file the note at `path` names in its first line; false when
// the line is not whole (a power cut while the note was written: its run
// never started).
bool read_owner(const std::string& path, ResultsFileId* owner) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!std::getline(in, line) || in.eof() || line.rfind(kOwnerWord, 0) != 0)
    return false;
  const size_t id_at = std::char_traits<char>::length(kOwnerWord);
  const size_t id_end = line.find(' ', id_at);
  if (id_end == std::string::npos)
    return false;
  owner->identity = line.substr(id_at, id_end - id_at);
  if (owner->identity == "-")
    owner->identity.clear();
  owner->path = line.substr(id_end + 1);
  return true;
}

// True when the two name one file: by the absolute path, or by the
// system's identity where both have one (a file named by another path,
// through a link or from another folder). Not by the identity alone: a
// device's number may change from one boot to the next (device mapper,
// overlay), and a note a power cut left would then be nobody's.
bool same_file(const ResultsFileId& a, const ResultsFileId& b) {
  return a.path == b.path || (!a.identity.empty() && a.identity == b.identity);
}

// The wall-clock time of the file's last change; `fallback` when unknown.
std::chrono::system_clock::time_point last_change(const std::string& path,
                                                  std::chrono::system_clock::time_point fallback) {
  std::error_code trouble;
  const fs::file_time_type changed = fs::last_write_time(path, trouble);
  if (trouble)
    return fallback;
  return std::chrono::time_point_cast<std::chrono::system_clock::duration>(
      changed - fs::file_time_type::clock::now() + std::chrono::system_clock::now());
}

// The note's record judged by its log; false when the note is no whole
// record (a power cut before it was synced: nothing was started).
bool recovered_record(const std::string& note, RunRecord* record) {
  bool read = false;
  ReadNotes notes;
  std::string error;
  if (!read_results(
          {note},
          [&](const ResultRecord& r) {
            *record = owned_record(r);
            read = true;
          },
          &notes, &error) ||
      !read)
    return false;
  RunRecord& r = *record;
  // Beside its note, wherever the station that wrote it was started.
  const std::string log = (fs::path(note).parent_path() / fs::path(r.log).filename()).string();
  std::error_code trouble;
  if (!fs::exists(log, trouble)) {
    r.reasons = {kStationEnded, "LOG LOST"};
    r.log.clear();
    return true;
  }
  // The process's own messages stay beside its log only when it had any.
  const std::string errors = fs::path(log).replace_extension(".err").string();
  if (fs::is_empty(errors, trouble) && !trouble)
    fs::remove(errors, trouble);
  BoardLog board_log(log);
  const Verdict& verdict = board_log.finish();
  r.verdict = verdict.headline;
  r.reasons = {kStationEnded};
  for (const Reason& reason : verdict.reasons)
    r.reasons.push_back(reason_text(reason, true));
  count_log(board_log.run(), &r);
  r.end = std::max(r.start, last_change(log, r.start));
  r.seconds = std::chrono::duration<double>(r.end - r.start).count();
  return true;
}

}  // namespace

std::string run_note_path(const std::string& log_path) {
  return fs::path(log_path).replace_extension(kNoteEnd).string();
}

ResultsFileId results_file_id(const std::string& path, const std::string& identity) {
  std::error_code trouble;
  fs::path resolved = fs::weakly_canonical(path, trouble);
  if (trouble)
    resolved = fs::absolute(path, trouble).lexically_normal();
  std::string text = trouble ? path : resolved.string();
  // One line in the note, whatever the folders above it are called.
  std::replace_if(
      text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
  return {identity, text};
}

bool write_run_note(const std::string& path, const ResultsFileId& results,
                    const std::string& record_line, FileHandle* note, std::string* error,
                    bool* exists) {
  FileHandle file;
  bool created = false;
  std::string why;
  size_t written = 0;
  const std::string text = kOwnerWord + (results.identity.empty() ? "-" : results.identity) + " " +
                           results.path + "\n" + record_line + "\n";
  const bool made = file.open(path, FileHandle::Open::new_file, &created, &why, exists);
  if (made && file.write_all(text, &written, &why) && file.sync(&why) &&
      sync_folder_of(path, &why) && file.try_lock(&why) == FileHandle::Lock::held) {
    *note = std::move(file);
    return true;
  }
  *error = "cannot write " + path + ": " + (why.empty() ? "cannot lock it" : why);
  if (made)
    remove_run_note(path);
  return false;
}

void remove_run_note(const std::string& path) {
  std::error_code trouble;
  fs::remove(path, trouble);  // left: the next station finds its record and removes it
}

bool Recovery::find(const std::string& logs, const ResultsFileId& results, std::string* error) {
  notes_.clear();
  left_.clear();
  std::error_code trouble;
  for (fs::directory_iterator it(logs, trouble), end; !trouble && it != end;
       it.increment(trouble)) {
    if (it->path().extension() != kNoteEnd)
      continue;
    // A note of another results file is that file's station's to record:
    // recorded here, its run would be missing from the file that holds
    // every other run of its station, and counted in one it never was in.
    ResultsFileId owner;
    if (read_owner(it->path().string(), &owner) && !same_file(owner, results))
      left_.push_back({it->path().string(), owner.path});
    else
      notes_.push_back(it->path().string());
  }
  if (notes_.empty())
    return true;
  std::set<std::string> recorded;
  ReadNotes skipped;
  if (!read_results(
          {results.path},
          [&](const ResultRecord& r) {
            if (!r.log.empty())
              recorded.insert(fs::path(std::string(r.log)).filename().string());
          },
          &skipped, error))
    return false;
  for (auto it = notes_.begin(); it != notes_.end();) {
    const std::string log = fs::path(*it).replace_extension(".log").filename().string();
    if (recorded.count(log) == 0) {
      ++it;
      continue;
    }
    remove_run_note(*it);
    it = notes_.erase(it);
  }
  return true;
}

void Recovery::recover(const std::function<bool(const RunRecord&)>& record) {
  for (auto it = notes_.begin(); it != notes_.end();) {
    FileHandle note;
    bool created = false;
    std::string why;
    if (!note.open(*it, FileHandle::Open::existing, &created, &why)) {
      it = notes_.erase(it);  // gone, or not this station's to recover
      continue;
    }
    if (note.try_lock(&why) != FileHandle::Lock::held) {
      ++it;  // its process still runs
      continue;
    }
    RunRecord r;
    if (!recovered_record(*it, &r) || record(r))
      remove_run_note(*it);
    it = notes_.erase(it);
  }
}
