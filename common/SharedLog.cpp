#include "common/SharedLog.h"

#include <map>
#include <mutex>

#include "common/uCommonUtils.h"

namespace tallowmer {
namespace {

// Notes of refusals that a shared log has not yet received, by the log's path. Process-wide, as the
// logs are: every driver object of the process writes the same files.
class OwedNotes {
 public:
  std::string Find(const std::string& path) {
    const std::lock_guard lock(guard_);
    const auto found = notes_.find(path);
    return found == notes_.end() ? std::string() : found->second;
  }
  // False when the log already owes a note: a refusal is noted once, not once per line.
  bool Add(const std::string& path, const std::string& note) {
    const std::lock_guard lock(guard_);
    return notes_.emplace(path, note).second;
  }
  void Settle(const std::string& path) {
    const std::lock_guard lock(guard_);
    notes_.erase(path);
  }

 private:
  std::mutex guard_;
  std::map<std::string, std::string> notes_;
};

OwedNotes& Owed() {
  static OwedNotes notes;
  return notes;
}

std::string FileName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Diversion {
  std::string path;
  // The note to write first: empty when this refusal was noted in the private log already.
  std::string note;
};

Diversion Divert(const std::string& path, const platform::OsResult& refusal) {
  Diversion diversion{GetPrivateLogFolder() + FileName(path), {}};
  const std::string note =
      "Журнал " + path + " отклонён: " + refusal.message() + ". Строки записываются в " + diversion.path;
  if (Owed().Add(path, note)) diversion.note = note;
  return diversion;
}

}  // namespace

std::string GetPrivateLogFolder() {
  const std::string folder = GetSpecialFolder(platform::kFolderUserLocalAppData) + "Quorvane" +
                             platform::kPathDelimiter + "ls_tallowmer" + platform::kPathDelimiter + "logs" +
                             platform::kPathDelimiter;
  ForceDirectories(folder);
  return folder;
}

platform::OsResult AppendToSharedLog(const std::string& path, std::string_view text,
                                     const LogNoteRenderer& renderNote) {
  platform::Env& env = platform::Env::Current();
  const std::string owed = Owed().Find(path);
  const platform::OsResult shared =
      env.AppendToSharedFile(path, owed.empty() ? std::string(text) : renderNote(owed).append(text));
  if (shared.ok()) {
    if (!owed.empty()) Owed().Settle(path);
    return shared;
  }
  if (!shared.refused()) return shared;
  const Diversion diversion = Divert(path, shared);
  return env.AppendToSharedFile(
      diversion.path, diversion.note.empty() ? std::string(text) : renderNote(diversion.note).append(text));
}

std::unique_ptr<platform::AppendFile> OpenSharedLog(const std::string& path,
                                                    const LogNoteRenderer& renderNote,
                                                    platform::OsResult& failure) {
  platform::Env& env = platform::Env::Current();
  std::unique_ptr<platform::AppendFile> file = env.OpenAppendFile(path, failure);
  if (file) {
    const std::string owed = Owed().Find(path);
    if (!owed.empty() && file->Append(renderNote(owed)).ok()) Owed().Settle(path);
    return file;
  }
  if (!failure.refused()) return nullptr;
  const Diversion diversion = Divert(path, failure);
  file = env.OpenAppendFile(diversion.path, failure);
  if (file && !diversion.note.empty()) file->Append(renderNote(diversion.note));
  return file;
}

}  // namespace tallowmer
