#pragma once
// Streaming multipart/form-data reader. Bytes of each part are handed on exactly as they
// arrived, so a file part can go to disk without the whole body sitting in memory.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn::photoservice {

struct PartHeader {
    std::string name;                     // Content-Disposition name
    std::optional<std::string> filename;  // present for file parts (may be empty)
    std::string contentType;              // empty when the part has none
    std::vector<std::pair<std::string, std::string>> headers;  // as received, unfolded
};

class MultipartSink {
  public:
    virtual ~MultipartSink() = default;
    // Each returns false to refuse the body; the reader then reports sinkError().
    virtual bool beginPart(const PartHeader& header) = 0;
    virtual bool partData(const char* data, std::size_t size) = 0;
    virtual bool endPart() = 0;
    virtual std::string sinkError() const = 0;
};

// The boundary parameter of a multipart/form-data Content-Type, or nothing when the type is
// not multipart/form-data or carries no usable boundary.
std::optional<std::string> multipartBoundary(std::string_view contentType);

class MultipartReader {
  public:
    MultipartReader(std::string boundary, MultipartSink& sink);

    // Feeds the next bytes of the body. After an error the rest is swallowed, so a caller can
    // keep reading the connection to its end and still answer.
    void feed(const char* data, std::size_t size);
    // The body has ended; a body cut off before its closing delimiter is an error.
    void finish();

    bool failed() const { return state_ == State::Failed; }
    const std::string& error() const { return error_; }
    bool complete() const { return state_ == State::Epilogue; }

    static constexpr std::size_t kMaxHeaderBytes = 16 * 1024;

  private:
    enum class State { Preamble, AfterDelimiter, Headers, Body, Epilogue, Failed };

    enum class Delimiter { Yes, No, NeedMore };
    // Whether the delimiter text ending at buf_[after] is a real delimiter line.
    Delimiter delimiterAt(std::size_t after) const;
    // The first delimiter in buf_ that is real or still undecided, or npos.
    std::size_t findDelimiter() const;
    void fail(std::string message);
    bool parseHeaders(std::string_view block, PartHeader& header);
    void run();
    bool readPreamble();
    bool readAfterDelimiter();
    bool readHeaders();
    bool readBody();

    std::string delimiter_;  // "\r\n--" + boundary
    MultipartSink& sink_;
    State state_ = State::Preamble;
    std::string buf_;
    std::string error_;
    std::size_t parts_ = 0;
};

}  // namespace vorn::photoservice
