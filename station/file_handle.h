// The station's own files as the system holds them: the results file, the
// claims on it and on the logs folder, and the boards' logs. The few things
// the systems do differently are here, one implementation file per system
// (file_handle-posix.cpp, file_handle-win32.cpp); what the station does with
// them (results_file.cpp, folder_lock.cpp) is written once.
//
// open() is the one place each system opens a file: a way to open that
// refuses a symbolic link is a flag there (O_NOFOLLOW;
// FILE_FLAG_OPEN_REPARSE_POINT and a look at what was opened).
#ifndef FLASHPREP_STATION_FILE_HANDLE_H_
#define FLASHPREP_STATION_FILE_HANDLE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The end of a line in the station's text files that people open with the
// system's own tools (the lock file's process id).
#ifdef _WIN32
constexpr const char* kTextLineEnd = "\r\n";
#else
constexpr const char* kTextLineEnd = "\n";
#endif

// Why open() refused a path: it names a link.
constexpr const char* kLinkRefused = "a symbolic link, not followed";

// Ownership: the object owns the open file and closes it when destroyed or
// opened again. Movable, not copyable.
class FileHandle {
 public:
  enum class Open : uint8_t {
    append,      // every write at the end, reads anywhere; made when missing
    read_write,  // made when missing
    new_file,    // made now: a file of that name already there is an error
    existing,    // for writing (a sync), never made
    lock,        // for its lock alone: read only (so that anyone may lock a file one
                 // account made), made when missing
  };
  enum class Lock : uint8_t { held, busy, failed };

  FileHandle() = default;
  ~FileHandle() { close(); }
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // Opens `path` as `how` says, not inherited by the processes the station
  // starts, and never through a symbolic link (or, on Windows, another
  // reparse point) at `path` itself: such a link is refused, with
  // kLinkRefused, whoever made it, so that a station run as root never
  // writes over a file a link in a folder someone else can write points to.
  // True, with `*created` telling whether this call made the file (its
  // folder then needs a sync to keep it). False, with the system's words
  // in `error`, and `*exists` (when given) true when a new_file was there.
  bool open(const std::string& path, Open how, bool* created, std::string* error,
            bool* exists = nullptr);
  bool is_open() const;
  void close();

  // Takes the system's exclusive lock on the file without waiting: a lock
  // the system drops when the process ends, however it ends. On Windows it
  // covers a byte far past the file's end, so that reading and appending are
  // not held up. `busy` when another holder has it; `failed`, with the
  // reason in `error`, when the system would not lock it.
  Lock try_lock(std::string* error) const;
  // The process id of the holder of the system's lock on this file where the
  // system tells it (Linux: /proc/locks); "" otherwise.
  std::string lock_holder() const;

  // The file's last byte, '\n' for an empty file. False, with the reason,
  // when it cannot be read.
  bool last_byte(char* byte, std::string* error) const;
  // Up to `most` bytes from the file's start; "" when it cannot be read.
  std::string read_start(size_t most) const;
  // Hands `bytes` to the system in one write (again for a rest the system
  // did not take). `*written` is what it took: all of it when true; false,
  // with the reason, when a write failed.
  bool write_all(std::string_view bytes, size_t* written, std::string* error) const;
  // Makes `bytes` the whole of the file (not for an append file).
  bool replace(std::string_view bytes, std::string* error) const;
  // Waits until what was written is on the disk. A file that has nothing to
  // flush (a pipe, a terminal) is: true.
  bool sync(std::string* error) const;
  // True while `path` still names this very file (not removed, not
  // replaced by another).
  bool same_as(const std::string& path) const;
  // What tells this file from every other of the machine, whatever path
  // names it: "DEVICE:INODE" (Windows: "VOLUME:INDEX"); "" when the system
  // does not say.
  std::string identity() const;

  // The system's own handle (a file descriptor, or a HANDLE); only while
  // open.
  intptr_t native() const;

 private:
#ifdef _WIN32
  void* handle_ = nullptr;  // HANDLE
#else
  int fd_ = -1;
#endif
};

// Puts the entry of the file `path` in its folder on the disk, so that a new
// file stays after a power cut with the bytes synced into it (POSIX: fsync
// of the folder). False, with the reason, when the system could not.
bool sync_folder_of(const std::string& path, std::string* error);

// This process's id, as a lock file names its holder.
unsigned long this_process_id();

// For the tests only: the next `count` syncs (of a file or a folder) fail as
// a disk's I/O error does. A power cut cannot be made to order; the station
// must still never write a record twice for a sync that failed.
void fail_next_syncs_for_test(int count);

#endif  // FLASHPREP_STATION_FILE_HANDLE_H_
