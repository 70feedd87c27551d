#pragma once
// Where uploads land: DIR/<username>/<event>/<file>. Every name that came from a client is
// made into one harmless path component first, and a taken name is never overwritten.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::photoservice {

// One path component from client text: no '/', '\', NUL or control characters, no leading
// '.', never empty, at most 200 bytes. Distinct inputs may map to the same component; the
// request log keeps the original text.
std::string sanitizeComponent(std::string_view raw);

// The file name part of a client's filename attribute (which may hold a path), sanitised.
std::string sanitizeFileName(std::string_view raw);

// "a.jpg", 2 -> "a-2.jpg"; "a", 3 -> "a-3".
std::string numberedName(const std::string& name, int n);

class Storage {
  public:
    explicit Storage(std::filesystem::path root);  // creates root and its incoming folder

    const std::filesystem::path& root() const { return root_; }

    struct TempFile {
        int fd = -1;
        std::filesystem::path path;
    };
    // A new empty file in the incoming folder; fd is open for writing.
    std::optional<TempFile> createTemp(std::string* error) const;

    // Moves a finished temporary file to root/<dirs...>/<name>, adding a number to the name
    // while it is taken. dirs and name must already be sanitised components. Answers the path
    // relative to root.
    std::optional<std::filesystem::path> place(const std::filesystem::path& temp,
                                               const std::vector<std::string>& dirs,
                                               const std::string& name, std::string* error) const;

    // Removes temporary files left behind by an earlier run.
    void sweepIncoming() const;

    static constexpr const char* kIncoming = ".incoming";
    static constexpr const char* kRequestLog = "requests.jsonl";

  private:
    std::filesystem::path root_;
};

}  // namespace vorn::photoservice
