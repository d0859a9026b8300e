#include "service/clientmessage.h"

ClientMessage ClientMessage::parse(const std::string& text) {
    const std::size_t end = !text.empty() && text.back() == ';' ? text.size() - 1 : text.size();
    const std::size_t colon = text.find(':');
    ClientMessage message;
    if (colon == std::string::npos || colon >= end) {
        message.key = text.substr(0, end);
        return message;
    }
    message.key = text.substr(0, colon);
    message.value = text.substr(colon + 1, end - colon - 1);
    message.hasValue = true;
    return message;
}

std::string ClientMessage::build(const std::string& key, const std::string& value) {
    return key + ":" + value + ";";
}

std::string ClientMessage::deviceConnected(int device) {
    return build("device_connected", std::to_string(device));
}

std::string ClientMessage::deviceDisconnected(int device) {
    return build("device_disconnected", std::to_string(device));
}
