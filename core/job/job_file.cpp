#include "job/job_file.hpp"

#include <array>
#include <cctype>
#include <filesystem>
#include <variant>

#include "io/utf8_path.hpp"
#include "job/stored_text.hpp"
#include "job/text_job.hpp"

namespace folvane {

std::string text::PathTooLong(std::string_view what) {
  return std::string(what) + " path is longer than " + std::to_string(kMaxPathBytes) + " bytes.";
}

std::string text::PathNotKept(std::string_view what) {
  return std::string(what) + " path would load back as a different path.";
}

std::string text::PathFromOtherCodePage(std::string_view what) {
  return std::string(what) + " path was saved in another code page and names a different file here.";
}

std::optional<std::string> PathSaveRefusal(std::string_view what, const std::string& path) {
  if (PathTooLongToStore(path)) return text::PathTooLong(what);
  if (!StoredTextKeeps(path)) return text::PathNotKept(what);
  return std::nullopt;
}

Expected<std::optional<PartFileRecord>> ReadPartFile(const std::string& path, LegacyPaths* legacy) {
  std::array<std::uint8_t, part_layout::kSize> bytes{};
  auto file = File::OpenRead(path);
  std::optional<FileError> error;
  if (!file) {
    error = file.error();
  } else if (auto got = file->ReadAt(0, bytes); !got) {
    error = got.error();
  }
  // Something that is not a file (a FIFO, a device) holds no job.
  if (error) return error->notAFile ? Expected<std::optional<PartFileRecord>>(std::nullopt) : *error;
  return PartFileRecord::Decode(bytes, legacy);  // the file closes as `file` goes
}

namespace {

// A text job of sixteen rows is a few kilobytes; anything far larger is none.
constexpr std::size_t kMaxTextJobBytes = std::size_t{1} << 20;

bool NamedAsPartFile(const std::string& path) {
  if (path.size() < 5) return false;
  std::string tail = path.substr(path.size() - 5);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".part";
}

}  // namespace

bool ReadsAsPartFile(const std::string& path, const std::string& head) {
  return StartsAsPartFile(std::span(reinterpret_cast<const std::uint8_t*>(head.data()), head.size())) ||
         NamedAsPartFile(path);
}

Expected<std::string> ReadJobHead(const std::string& path) {
  auto file = File::OpenRead(path);
  if (!file) return file.error();
  std::string text(kMaxTextJobBytes + 1, '\0');
  auto got = file->ReadAt(0, std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
  if (!got) return got.error();
  text.resize(*got);
  return text;
}

std::optional<Job> ReadTextJob(const std::string& path, const std::string& text, std::string& problem) {
  if (text.size() > kMaxTextJobBytes) {
    problem = path + " is too large for a text job";
    return std::nullopt;
  }
  auto parsed = ParseTextJob(text, JobFolder(path));
  if (auto* error = std::get_if<TextJobError>(&parsed)) {
    problem = error->Describe(path);
    return std::nullopt;
  }
  return std::get<Job>(std::move(parsed));
}

std::string JobFolder(const std::string& path) {
  std::error_code ec;
  const auto real = std::filesystem::weakly_canonical(FsPath(AbsolutePath(path)), ec);
  return Utf8Path((ec ? FsPath(AbsolutePath(path)) : real).parent_path());
}

std::optional<std::string> TextJobAt(const Job& job, const std::string& path, std::string& problem) {
  const std::string folder = JobFolder(path);
  auto text = TextJobOf(job, folder, problem);
  if (!text) return std::nullopt;
  // What a .part may hold that a text job refuses (a block text the window would not
  // take, a block mode outside the list) is found here, before anything is written.
  auto back = ParseTextJob(*text, folder);
  if (auto* error = std::get_if<TextJobError>(&back)) {
    problem = error->problem + (error->key.empty() ? std::string() : " (" + error->key + ")");
    return std::nullopt;
  }
  if (!(std::get<Job>(back) == job)) {
    problem = "it would not read back as the same job";
    return std::nullopt;
  }
  return text;
}

JobFileRead ReadJobFileAt(const std::string& path, std::string (*describe)(const FileError&),
                          const std::string* given) {
  JobFileRead read;
  auto refuse = [&](JobLoad outcome, std::string message, bool error) {
    read.outcome = outcome;
    read.refusal = std::move(message);
    read.refusalIsError = error;
    return read;
  };
  auto words = [&](const FileError& error) { return describe ? describe(error) : error.Message(); };
  auto head = given ? Expected<std::string>(*given) : ReadJobHead(path);
  if (!head) return refuse(JobLoad::kUnreadable, words(head.error()), true);
  if (ReadsAsPartFile(path, *head)) {
    auto record = ReadPartFile(path, &read.legacy);
    if (!record) return refuse(JobLoad::kUnreadable, words(record.error()), true);
    if (!*record) return refuse(JobLoad::kUnreadable, std::string(text::kBadPartFile), false);
    read.part = std::move(**record);
    return read;
  }
  std::string problem;
  read.text = ReadTextJob(path, *head, problem);
  if (!read.text) return refuse(JobLoad::kNotAJob, problem, true);
  return read;
}

}  // namespace folvane
