#include "support/scripted_plc.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace vpisd::test {

namespace {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kFiller = 0xFE;
constexpr int kPollMs = 10;

enum class Scan { Complete, Incomplete, Malformed };

// Scans a request frame that starts with DLE SOH at p[0]. consumed is set for Complete and
// Malformed (the bytes up to and including the offending control pair).
Scan ScanFrame(const uint8_t *p, size_t n, ParsedRequest &out, size_t &consumed) {
    out = ParsedRequest{};
    if (n < 3)
        return Scan::Incomplete;
    out.toggle = p[2];
    bool inBody = false;
    size_t i = 3;
    while (true) {
        if (i >= n)
            return Scan::Incomplete;
        if (p[i] != kDle) {
            (inBody ? out.body : out.route).push_back(p[i]);
            ++i;
            continue;
        }
        if (i + 1 >= n)
            return Scan::Incomplete;
        const uint8_t control = p[i + 1];
        if (control == kDle) {
            (inBody ? out.body : out.route).push_back(kDle);
        } else if (control == kStx && !inBody) {
            inBody = true;
        } else if (control == kEtx && inBody) {
            if (i + 2 >= n)
                return Scan::Incomplete;
            out.checksum = p[i + 2];
            consumed = i + 3;
            out.raw.assign(p, p + consumed);
            unsigned sum = 0;
            for (size_t k = 2; k < consumed; ++k)
                sum += p[k];
            out.checksumOk = (sum & 0xFFu) == 0;
            return Scan::Complete;
        } else {
            consumed = i + 2;
            return Scan::Malformed;
        }
        i += 2;
    }
}

void AppendStuffed(Bytes &out, const Bytes &bytes) {
    for (uint8_t b : bytes) {
        out.push_back(b);
        if (b == kDle)
            out.push_back(kDle);
    }
}

} // namespace

Bytes ReplyFrame(uint8_t toggle, const Bytes &route, const Bytes &body) {
    Bytes out{kDle, kSoh, toggle};
    AppendStuffed(out, route);
    out.push_back(kDle);
    out.push_back(kStx);
    AppendStuffed(out, body);
    out.push_back(kDle);
    out.push_back(kEtx);
    unsigned sum = 0;
    for (size_t i = 2; i < out.size(); ++i)
        sum += out[i];
    out.push_back(static_cast<uint8_t>((0x100u - (sum & 0xFFu)) & 0xFFu));
    return out;
}

Bytes ReversedRoute(const Bytes &route) {
    Bytes out;
    const size_t pairs = route.size() / 2;
    for (size_t k = pairs; k > 0; --k) {
        out.push_back(route[2 * (k - 1)]);
        out.push_back(route[2 * (k - 1) + 1]);
    }
    if (route.size() % 2 != 0)
        out.push_back(route.back());
    return out;
}

Bytes GoodAnswer(const ParsedRequest &request, const Bytes &body) {
    Bytes out{kDle, 0x11};
    const Bytes reply = ReplyFrame(request.toggle, ReversedRoute(request.route), body);
    out.insert(out.end(), reply.begin(), reply.end());
    return out;
}

bool ParseRequest(const Bytes &frame, ParsedRequest &out) {
    if (frame.size() < 2 || frame[0] != kDle || frame[1] != kSoh)
        return false;
    size_t consumed = 0;
    return ScanFrame(frame.data(), frame.size(), out, consumed) == Scan::Complete;
}

ScriptedPlc::ScriptedPlc(const Pty &pty) : master_(pty.master()) {
    thread_ = std::thread([this] { Run(); });
}

ScriptedPlc::~ScriptedPlc() {
    Stop();
}

void ScriptedPlc::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable())
        thread_.join();
}

void ScriptedPlc::OnEnquiry(EnquiryScript script) {
    std::lock_guard lock(mutex_);
    enquiryScript_ = std::move(script);
}

void ScriptedPlc::OnRequest(RequestScript script) {
    std::lock_guard lock(mutex_);
    requestScript_ = std::move(script);
}

void ScriptedPlc::QueueEnquiry(Bytes answer) {
    std::lock_guard lock(mutex_);
    enquiryQueue_.push_back(std::move(answer));
}

void ScriptedPlc::QueueRequest(RequestScript once) {
    std::lock_guard lock(mutex_);
    requestQueue_.push_back(std::move(once));
}

Bytes ScriptedPlc::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<PeerEvent> ScriptedPlc::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

int ScriptedPlc::Count(PeerEvent::Kind kind) const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const auto &event : events_)
        count += event.kind == kind ? 1 : 0;
    return count;
}

bool ScriptedPlc::WaitFor(PeerEvent::Kind kind, int count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int seen = 0;
        for (const auto &event : events_)
            seen += event.kind == kind ? 1 : 0;
        return seen >= count;
    });
}

void ScriptedPlc::ClearRecord() {
    std::lock_guard lock(mutex_);
    received_.clear();
    events_.clear();
}

void ScriptedPlc::Run() {
    uint8_t buffer[512];
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
        }
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0 || (p.revents & POLLIN) == 0)
            continue;
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            usleep(kPollMs * 1000);
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            pending_.insert(pending_.end(), buffer, buffer + n);
            received_.insert(received_.end(), buffer, buffer + n);
        }
        Recognise();
    }
}

// Takes every whole item off the front of pending_, records it and answers it.
void ScriptedPlc::Recognise() {
    while (true) {
        PeerEvent event{PeerEvent::Noise, {}, {}, std::chrono::steady_clock::now()};
        {
            std::lock_guard lock(mutex_);
            size_t pos = 0;
            while (pos < pending_.size() && pending_[pos] == kFiller)
                ++pos;
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(pos));
            if (pending_.empty())
                return;
            const uint8_t *p = pending_.data();
            const size_t n = pending_.size();
            size_t consumed = 0;
            if (p[0] != kDle) {
                while (consumed < n && p[consumed] != kDle && p[consumed] != kFiller)
                    ++consumed;
            } else if (n < 2) {
                return;
            } else if (p[1] == kEnq) {
                event.kind = PeerEvent::Enquiry;
                consumed = 2;
            } else if (p[1] == kNak) {
                event.kind = PeerEvent::DleNak;
                consumed = 2;
            } else if (p[1] == 0x11 || p[1] == 0x12) {
                event.kind = PeerEvent::ReplyAck;
                consumed = 2;
            } else if (p[1] == kSoh) {
                const Scan scan = ScanFrame(p, n, event.request, consumed);
                if (scan == Scan::Incomplete)
                    return;
                if (scan == Scan::Complete)
                    event.kind = PeerEvent::Request;
            } else {
                consumed = 2;
            }
            event.bytes.assign(p, p + consumed);
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(consumed));
            events_.push_back(event);
        }
        changed_.notify_all();
        Answer(event);
    }
}

void ScriptedPlc::Answer(PeerEvent &event) {
    Bytes answer;
    if (event.kind == PeerEvent::Enquiry) {
        EnquiryScript script;
        int index = 0;
        {
            std::lock_guard lock(mutex_);
            index = enquiries_++;
            if (!enquiryQueue_.empty()) {
                answer = std::move(enquiryQueue_.front());
                enquiryQueue_.pop_front();
            } else if (enquiryScript_) {
                script = enquiryScript_;
            } else {
                answer = {kDle, 0x12};
            }
        }
        if (script)
            answer = script(index);
    } else if (event.kind == PeerEvent::Request) {
        RequestScript script;
        int index = 0;
        {
            std::lock_guard lock(mutex_);
            index = requests_++;
            if (!requestQueue_.empty()) {
                script = std::move(requestQueue_.front());
                requestQueue_.pop_front();
            } else {
                script = requestScript_;
            }
        }
        if (script)
            answer = script(event.request, index);
    }
    size_t done = 0;
    while (done < answer.size()) {
        const ssize_t n = write(master_, answer.data() + done, answer.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

} // namespace vpisd::test
