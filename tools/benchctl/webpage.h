// The page that `benchctl web` serves: its HTML, its style and its script, all held here so
// that the page works without any other server or the internet.
#pragma once

#include <string>

class WebPage {
public:
    static const std::string& html();
    static const std::string& css();
    static const std::string& js();
};
