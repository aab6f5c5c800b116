#include "common/SharedLog.h"

#include <map>
#include <mutex>

#include "common/Exceptions.h"
#include "common/uCommonUtils.h"

namespace tallowmer {
namespace {

// Notes of refusals that a shared log has not yet received, by the log's path. Process-wide, as the
// logs are: every driver object of the process writes the same files, from whichever thread made it.
class OwedNotes {
 public:
  // The note is the caller's to write from here on: a writer on another thread meanwhile finds none
  // owed, where both writers found it and wrote it twice. A note that could not be written is
  // handed back.
  std::string Take(const std::string& path) {
    const std::lock_guard lock(guard_);
    const auto found = notes_.find(path);
    if (found == notes_.end()) return {};
    std::string note = std::move(found->second);
    notes_.erase(found);
    return note;
  }
  // False when the log already owes a note: a refusal is noted once, not once per line.
  bool Add(const std::string& path, const std::string& note) {
    const std::lock_guard lock(guard_);
    return notes_.emplace(path, note).second;
  }
  // Withdraws the note this caller added, not one that a later refusal left in its place.
  void Withdraw(const std::string& path, const std::string& note) {
    const std::lock_guard lock(guard_);
    const auto found = notes_.find(path);
    if (found != notes_.end() && found->second == note) notes_.erase(found);
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
  // Nothing went to the private log: there is no diversion to tell the shared log of.
  void Failed(const std::string& sharedPath) const {
    if (!note.empty()) Owed().Withdraw(sharedPath, note);
  }
};

Diversion Divert(const std::string& path, const platform::OsResult& refusal) {
  Diversion diversion{GetPrivateLogFolder() + FileName(path), {}};
  const std::string note =
      "Журнал " + path + " отклонён: " + refusal.message() + ". Строки записываются в " + diversion.path;
  if (Owed().Add(path, note)) diversion.note = note;
  return diversion;
}

// A private log that cannot be written fails the call, with both reasons: why the shared log was
// refused and why the private one failed.
platform::OsResult PrivateFailure(const std::string& path, const platform::OsResult& refusal,
                                  const platform::OsResult& failure) {
  return platform::OsResult::Failure(
      failure.errorCode(), "Журнал " + path + " отклонён: " + refusal.message() + ". " + failure.message());
}

constexpr platform::LogFileOptions kPrivate{platform::LogAccess::OwnerOnly, true};

std::unique_ptr<platform::AppendFile> OpenPrivateLog(const std::string& path,
                                                     const platform::OsResult& refusal,
                                                     const LogNoteRenderer& renderNote,
                                                     platform::OsResult& failure) {
  const Diversion diversion = Divert(path, refusal);
  std::unique_ptr<platform::AppendFile> file =
      platform::Env::Current().OpenLogFile(diversion.path, kPrivate, failure);
  if (!file) {
    diversion.Failed(path);
    failure = PrivateFailure(path, refusal, failure);
    return nullptr;
  }
  if (!diversion.note.empty()) file->Append(renderNote(diversion.note));
  return file;
}

// A shared log held open for a while (the HTTP log during one request) may be refused after it was
// opened: another user may grow the file to the largest size the system allows between two lines.
// The rest of the lines then go to the private log, as if the log had been refused at its opening.
class DivertingLog final : public platform::AppendFile {
 public:
  DivertingLog(std::string path, std::unique_ptr<platform::AppendFile> shared, LogNoteRenderer renderNote)
      : path_(std::move(path)), file_(std::move(shared)), renderNote_(std::move(renderNote)) {}

  platform::OsResult Append(std::string_view bytes) override {
    if (!file_) return failure_;
    platform::OsResult appended = file_->Append(bytes);
    if (diverted_ || !appended.refused()) return appended;
    diverted_ = true;
    try {
      file_ = OpenPrivateLog(path_, appended, renderNote_, failure_);
    } catch (const Exception& error) {
      file_.reset();
      failure_ = PrivateFailure(path_, appended, platform::OsResult::Failure(0, error.Message()));
    }
    return file_ ? file_->Append(bytes) : failure_;
  }

 private:
  std::string path_;
  std::unique_ptr<platform::AppendFile> file_;
  LogNoteRenderer renderNote_;
  bool diverted_ = false;
  platform::OsResult failure_;
};

}  // namespace

std::string GetPrivateLogFolder() {
  platform::Env& env = platform::Env::Current();
  const std::string base = env.SpecialFolderPath(platform::kFolderUserLocalAppData);
  if (base.empty()) {
    throw EOSError("Не найдена личная папка пользователя для журналов: у пользователя нет домашней папки");
  }
  const std::string folder = IncludeTrailingPathDelimiter(base) + "Quorvane" + platform::kPathDelimiter +
                             "ls_tallowmer" + platform::kPathDelimiter + "logs" + platform::kPathDelimiter;
  const platform::OsResult prepared = env.ForcePrivateDirectories(folder);
  if (!prepared.ok()) throw EOSError(prepared.message());
  return folder;
}

platform::OsResult AppendToSharedLog(const std::string& path, std::string_view text,
                                     const LogNoteRenderer& renderNote) {
  platform::Env& env = platform::Env::Current();
  const std::string owed = Owed().Take(path);
  const platform::OsResult shared =
      env.AppendToLogFile(path, owed.empty() ? std::string(text) : renderNote(owed).append(text),
                          {platform::LogAccess::Shared, owed.empty()});
  if (shared.ok()) return shared;
  // Handed back before a diversion looks: the refusal is noted already, in the private log.
  if (!owed.empty()) Owed().Add(path, owed);
  if (!shared.refused()) return shared;
  const Diversion diversion = Divert(path, shared);
  const platform::OsResult diverted = env.AppendToLogFile(
      diversion.path, diversion.note.empty() ? std::string(text) : renderNote(diversion.note).append(text),
      kPrivate);
  if (diverted.ok()) return diverted;
  diversion.Failed(path);
  return PrivateFailure(path, shared, diverted);
}

std::unique_ptr<platform::AppendFile> OpenSharedLog(const std::string& path,
                                                    const LogNoteRenderer& renderNote,
                                                    platform::OsResult& failure) {
  const std::string owed = Owed().Take(path);
  std::unique_ptr<platform::AppendFile> file =
      platform::Env::Current().OpenLogFile(path, {platform::LogAccess::Shared, owed.empty()}, failure);
  if (!owed.empty()) {
    const platform::OsResult noted = file ? file->Append(renderNote(owed)) : failure;
    if (!noted.ok()) Owed().Add(path, owed);
    if (file && noted.refused()) {
      file.reset();
      failure = noted;
    }
  }
  if (file) return std::make_unique<DivertingLog>(path, std::move(file), renderNote);
  if (!failure.refused()) return nullptr;
  const platform::OsResult refusal = failure;
  return OpenPrivateLog(path, refusal, renderNote, failure);
}

}  // namespace tallowmer
