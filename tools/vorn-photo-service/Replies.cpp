#include "Replies.h"

#include <iconv.h>

#include <cerrno>

#include "Json.h"

namespace vorn::photoservice {

std::string xmlEscape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            std::size_t len = utf8SequenceLength(s, i);
            if (len == 0) {
                out.push_back('?');
                ++i;
            } else {
                out.append(s.substr(i, len));
                i += len;
            }
            continue;
        }
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    out.push_back('?');
                else
                    out.push_back(static_cast<char>(c));
        }
        ++i;
    }
    return out;
}

std::string xmlElement(std::string_view name, std::string_view text) {
    std::string out;
    out += '<';
    out += name;
    out += '>';
    out += xmlEscape(text);
    out += "</";
    out += name;
    out += '>';
    return out;
}

std::string renderXml(const ReplyDocument& doc, std::string_view encoding) {
    std::string out = "<?xml version=\"1.0\" encoding=\"";
    out += encoding;
    out += "\"?>\n<" + doc.root + ">\n";
    out += "  " + xmlElement("status", doc.status) + "\n";
    out += "  " + xmlElement("message", doc.message) + "\n";
    out += doc.extra;
    out += "</" + doc.root + ">\n";
    return out;
}

std::optional<std::string> convertFromUtf8(std::string_view text, const std::string& encoding) {
    iconv_t cd = iconv_open(encoding.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string in(text);
    std::string out(in.size() * 4 + 16, '\0');
    char* inp = in.data();
    std::size_t inLeft = in.size();
    char* outp = out.data();
    std::size_t outLeft = out.size();
    std::size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    bool ok = r != static_cast<std::size_t>(-1) && inLeft == 0;
    // A converted character that the target set only approximates counts as a failure too.
    if (ok && r > 0) ok = false;
    if (ok && iconv(cd, nullptr, nullptr, &outp, &outLeft) == static_cast<std::size_t>(-1))
        ok = false;
    iconv_close(cd);
    if (!ok) return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

HttpReply makeReply(ReplyDocument doc, const ScriptAction* action) {
    HttpReply reply;
    if (!action) {
        reply.body = renderXml(doc);
        return reply;
    }
    auto setStatus = [&](const char* status, const char* defaultMessage) {
        doc.status = status;
        doc.message = action->message.value_or(defaultMessage);
        doc.extra.clear();
    };
    switch (action->verdict) {
        case Verdict::Ok:
            if (action->message) doc.message = *action->message;
            break;
        case Verdict::Warning:
            setStatus("Warning", "Duplicate photo: set aside");
            break;
        case Verdict::Error:
            setStatus("ERROR", "Invalid account: uploads refused");
            break;
        case Verdict::Fail:
            setStatus("FAIL", "Temporary failure: try again");
            break;
        case Verdict::NoEmail:
            doc.status = "FAIL";
            doc.message = "No Email Addresses Sent";
            doc.extra.clear();
            break;
        case Verdict::HttpStatus:
            reply.status = action->httpStatus;
            reply.retryAfter = action->retryAfter;
            break;
        case Verdict::Malformed:
            reply.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + doc.root +
                         ">\n  <status>OK</status>\n  <message>cut off <here</mess";
            return reply;
        case Verdict::Empty:
            return reply;
        case Verdict::OneChild:
            reply.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + doc.root + ">\n  " +
                         xmlElement("status", doc.status) + "\n</" + doc.root + ">\n";
            return reply;
        case Verdict::Encoding: {
            // A message outside ASCII, so a client that ignores the declaration shows it.
            ReplyDocument encoded = doc;
            encoded.message = "Réponse encodée en " + action->encoding;
            auto bytes = convertFromUtf8(renderXml(encoded, action->encoding), action->encoding);
            if (!bytes) {
                encoded.message = "Reply encoded in " + action->encoding;
                bytes = convertFromUtf8(renderXml(encoded, action->encoding), action->encoding);
            }
            if (bytes) {
                reply.body = std::move(*bytes);
                reply.contentType = "text/xml; charset=" + action->encoding;
                return reply;
            }
            break;  // cannot be encoded at all: the normal reply
        }
        case Verdict::Hang:
            break;
    }
    reply.body = renderXml(doc);
    return reply;
}

}  // namespace vorn::photoservice
