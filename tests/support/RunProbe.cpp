#include "RunProbe.h"

namespace pavix::test {

std::vector<nlohmann::json> Received::events() const {
    std::vector<nlohmann::json> result;
    for (const auto& text : texts)
        result.push_back(nlohmann::json::parse(text));
    return result;
}

std::vector<std::string> Received::names() const {
    return eventNames(texts);
}

std::vector<std::string> eventNames(const std::vector<std::string>& texts) {
    std::vector<std::string> names;
    for (const auto& text : texts)
        names.push_back(nlohmann::json::parse(text).value("event", "?"));
    return names;
}

namespace {
asio::awaitable<void> drain(EventReader reader, std::shared_ptr<Received> into) {
    for (;;) {
        auto texts = co_await reader.next();
        if (texts.empty()) break;
        for (auto& text : texts)
            into->texts.push_back(*text);
    }
    into->ended = true;
}
} // namespace

std::shared_ptr<Received> collect(asio::any_io_executor executor, EventReader reader) {
    auto received = std::make_shared<Received>();
    spawn(executor, drain(std::move(reader), received), "collecting events");
    return received;
}

} // namespace pavix::test
