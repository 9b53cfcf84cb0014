// The gateway's HTTP request path: bytes from a client, cut into the pieces a socket might
// give, through the bounded head reader and, once a head is complete, cpp-httplib's routing of
// the endpoint. Input: one byte choosing the piece sizes, then the stream.
// Properties: the reader never keeps more than kHttpHeadBytes, takes the same head whatever the
// pieces, and ends it exactly at the first empty line (CR LF or a bare LF) after the request line,
// within kHttpHeaderLines header lines; a head it cannot end within the limits is answered 431.
// Every answer is one HTTP/1.1 status line with "Connection: close" (after a 100 Continue when
// asked for), a body of its Content-Length unless it answers HEAD, 200 only to GET or HEAD, and it
// stays within the size of the largest page (no range multiplies it).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "gateway/http/http_exchange.h"

using namespace vpisd::gateway;

namespace {

constexpr size_t kLargestAnswer = 64 * 1024;

// Where the head ends as the limits define it, or npos when it does not end within them.
FUZZ_UNTRACED size_t HeadEnd(std::string_view stream) {
    size_t lines = 0;
    size_t start = 0;
    while (true) {
        const size_t end = stream.find('\n', start);
        if (end == std::string_view::npos || end + 1 > kHttpHeadBytes)
            return std::string_view::npos;
        // An empty line: CR LF, or a bare LF.
        if (lines > 0 && (end == start || (end == start + 1 && stream[start] == '\r')))
            return end + 1;
        if (++lines > kHttpHeaderLines + 1)
            return std::string_view::npos;
        start = end + 1;
    }
}

FUZZ_UNTRACED void CheckAnswer(std::string_view head, std::string_view answer) {
    // The method as cpp-httplib splits the request line: at spaces and tabs, any number of them.
    head.remove_prefix(std::min(head.find_first_not_of(" \t"), head.size()));
    const std::string_view method = head.substr(0, head.find_first_of(" \t\r\n"));
    FUZZ_CHECK(answer.size() <= kLargestAnswer);
    constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
    if (answer.substr(0, kContinue.size()) == kContinue)
        answer.remove_prefix(kContinue.size());
    FUZZ_CHECK(answer.substr(0, 9) == "HTTP/1.1 " && answer.size() > 12);
    const int status = std::stoi(std::string(answer.substr(9, 3)));
    FUZZ_CHECK(status >= 200 && status <= 599);
    const size_t end = answer.find("\r\n\r\n");
    FUZZ_CHECK(end != std::string_view::npos);
    const std::string_view headers = answer.substr(0, end + 2);
    const std::string_view body = answer.substr(end + 4);
    FUZZ_CHECK(headers.find("\r\nConnection: close\r\n") != std::string_view::npos);
    const bool head_method = method == "HEAD";
    if (status == 200)
        FUZZ_CHECK(method == "GET" || head_method);
    const size_t length = headers.find("\r\nContent-Length: ");
    if (length != std::string_view::npos && !head_method) {
        const size_t value = length + 18;
        FUZZ_CHECK(std::stoul(std::string(
                       headers.substr(value, headers.find('\r', value) - value))) == body.size());
    } else if (length == std::string_view::npos) {
        FUZZ_CHECK(body.empty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static HttpRoutes routes([] { return GatewayStatus{}; });
    if (size < 1)
        return 0;
    const unsigned pieces = data[0];
    const std::string_view stream(reinterpret_cast<const char *>(data + 1), size - 1);

    HttpHead head;
    size_t given = 0;
    for (unsigned turn = 0; given < stream.size() && head.state() == HttpHead::State::Incomplete;
         ++turn) {
        // Piece sizes from 1 byte to 4 KB, varied by the first byte.
        const size_t piece =
            std::min<size_t>(1 + (pieces * (turn + 1) * 37) % 4096, stream.size() - given);
        head.Take(stream.substr(given, piece));
        given += piece;
        FUZZ_CHECK(head.text().size() <= kHttpHeadBytes);
    }
    HttpHead whole;
    whole.Take(stream);
    FUZZ_CHECK(whole.state() == head.state() && whole.text() == head.text());

    const size_t end = HeadEnd(stream);
    switch (head.state()) {
    case HttpHead::State::Complete:
        FUZZ_CHECK(end == head.text().size() && stream.substr(0, end) == head.text());
        CheckAnswer(head.text(), routes.Answer(head.text(), "127.0.0.1", 50000));
        break;
    case HttpHead::State::Incomplete:
        FUZZ_CHECK(end == std::string_view::npos && head.text() == stream);
        break;
    case HttpHead::State::TooLarge:
        FUZZ_CHECK(end == std::string_view::npos);
        FUZZ_CHECK(HttpRoutes::TooLarge().substr(0, 13) == "HTTP/1.1 431 ");
        break;
    }
    return 0;
}
