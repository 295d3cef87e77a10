#include "station/recovery.h"

#include <chrono>
#include <filesystem>
#include <set>
#include <system_error>

#include "records/results_reader.h"
#include "runlog/verdict.h"
#include "station/board_log.h"
#include "station/run_record.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kNoteEnd = ".run";

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

bool write_run_note(const std::string& path, const std::string& record_line, FileHandle* note,
                    std::string* error, bool* exists) {
  FileHandle file;
  bool created = false;
  std::string why;
  size_t written = 0;
  const bool made = file.open(path, FileHandle::Open::new_file, &created, &why, exists);
  if (made && file.write_all(record_line + "\n", &written, &why) && file.sync(&why) &&
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

bool Recovery::find(const std::string& logs, const std::string& results, std::string* error) {
  notes_.clear();
  std::error_code trouble;
  for (fs::directory_iterator it(logs, trouble), end; !trouble && it != end; it.increment(trouble))
    if (it->path().extension() == kNoteEnd)
      notes_.push_back(it->path().string());
  if (notes_.empty() || !fs::exists(results, trouble))
    return true;
  std::set<std::string> recorded;
  ReadNotes skipped;
  if (!read_results(
          {results},
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
