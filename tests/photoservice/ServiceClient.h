#pragma once
// Test-side client of the stand-in photo service: forms built byte for byte the way the
// uploader sends them, or through libcurl's own form encoder; replies read with pugixml.

#include <curl/curl.h>

#include <optional>
#include <pugixml.hpp>
#include <string>
#include <utility>
#include <vector>

namespace vorn::test {

inline const std::string kBoundary = "0xKhTmLbOuNdArY";

struct FormPart {
    FormPart(std::string n, std::string v) : name(std::move(n)), value(std::move(v)) {}
    FormPart(std::string n, std::string v, std::string file, std::string type)
        : name(std::move(n)),
          value(std::move(v)),
          filename(std::move(file)),
          contentType(std::move(type)) {}

    std::string name;
    std::string value;                    // text, or the file's bytes
    std::optional<std::string> filename;  // set for a file part
    std::string contentType;              // file parts only
};

struct HttpResult {
    CURLcode code = CURLE_OK;
    long status = 0;
    std::string body;
    std::string contentType;
};

// The uploader's layout: every part opens with CR LF, "--", boundary, CR LF.
inline std::string uploaderBody(const std::vector<FormPart>& parts) {
    std::string body;
    for (const FormPart& p : parts) {
        body += "\r\n--" + kBoundary + "\r\n";
        body += "Content-Disposition: form-data; name=\"" + p.name + "\"";
        if (p.filename) {
            body += "; filename=\"" + *p.filename + "\"\r\n";
            body += "Content-Type: " + p.contentType + "\r\n\r\n";
        } else {
            body += "\r\n\r\n";
        }
        body += p.value;
    }
    body += "\r\n--" + kBoundary + "--\r\n";
    return body;
}

namespace detail {

inline std::size_t collect(char* data, std::size_t size, std::size_t n, void* out) {
    static_cast<std::string*>(out)->append(data, size * n);
    return size * n;
}

inline HttpResult perform(CURL* curl, curl_slist* headers) {
    HttpResult result;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 120L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    result.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    char* type = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
    if (type) result.contentType = type;
    return result;
}

}  // namespace detail

// POSTs body as it is under the given Content-Type (none when empty).
inline HttpResult postRaw(const std::string& url, const std::string& body,
                          const std::string& contentType) {
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    headers = curl_slist_append(headers, ("Content-Type: " + contentType).c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    HttpResult result = detail::perform(curl, headers);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return result;
}

inline HttpResult postUploaderForm(const std::string& url, const std::vector<FormPart>& parts) {
    return postRaw(url, uploaderBody(parts), "multipart/form-data; boundary=" + kBoundary);
}

// The same form through libcurl's MIME encoder (its own boundary and layout).
inline HttpResult postMimeForm(const std::string& url, const std::vector<FormPart>& parts) {
    CURL* curl = curl_easy_init();
    curl_mime* mime = curl_mime_init(curl);
    for (const FormPart& p : parts) {
        curl_mimepart* part = curl_mime_addpart(mime);
        curl_mime_name(part, p.name.c_str());
        curl_mime_data(part, p.value.data(), p.value.size());
        if (p.filename) {
            curl_mime_filename(part, p.filename->c_str());
            curl_mime_type(part, p.contentType.c_str());
        }
    }
    curl_slist* headers = curl_slist_append(nullptr, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, mime);
    HttpResult result = detail::perform(curl, headers);
    curl_slist_free_all(headers);
    curl_mime_free(mime);
    curl_easy_cleanup(curl);
    return result;
}

inline std::vector<FormPart> photoForm(const std::string& user, const std::string& event,
                                       const std::string& filename, const std::string& bytes) {
    return {{"username", user},
            {"password", "secret"},
            {"event", event},
            {"client", "Studio A"},
            {"capturetime", "2024:05:01 10:11:12"},
            {"metadata", "caption"},
            {"fuseaction", "upload.upload"},
            {"Submit", "Upload"},
            {"imgfile", bytes, filename, "image/jpeg"}};
}

// Root element name and its element children (name, text) in document order.
struct Reply {
    bool parsed = false;
    std::string root;
    std::vector<std::pair<std::string, std::string>> children;
    pugi::xml_document doc;
};

inline void parseReply(const std::string& body, Reply& reply) {
    reply.parsed = reply.doc.load_buffer(body.data(), body.size());
    if (!reply.parsed) return;
    pugi::xml_node root = reply.doc.document_element();
    reply.root = root.name();
    for (pugi::xml_node child : root.children())
        if (child.type() == pugi::node_element)
            reply.children.emplace_back(child.name(), child.text().get());
}

}  // namespace vorn::test
