#pragma once

#include <functional>
#include <string>

// The plain text an action throws, or "" when it throws none.
inline std::string ThrownText(const std::function<void()>& action) {
    try {
        action();
    } catch (const char* text) {
        return text;
    }
    return "";
}
