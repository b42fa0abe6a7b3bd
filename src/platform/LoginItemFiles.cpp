#include "platform/LoginItemFiles.h"

namespace pavix {

namespace {

std::string xmlEscaped(std::string_view text) {
    std::string out;
    for (char c : text) {
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
        default:
            out += c;
        }
    }
    return out;
}

// The program word of ExecStart: quoted, C-style escapes for the quote and backslash, and
// "%" doubled so that no specifier is expanded. ("$" stays: the program word is never
// subject to variable expansion, and "$$" would be taken literally.)
std::string systemdQuoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '%':
            out += "%%";
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

// A path after "append:" is taken whole, but specifiers are still expanded in it.
std::string withoutSpecifiers(std::string_view text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

} // namespace

std::string launchAgentPlist(const std::filesystem::path& executable,
                             const std::filesystem::path& logFile) {
    const std::string log = xmlEscaped(logFile.string());
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n"
           "<dict>\n"
           "\t<key>KeepAlive</key>\n"
           "\t<true/>\n"
           "\t<key>Label</key>\n"
           "\t<string>" +
           std::string(launchAgentLabel) +
           "</string>\n"
           "\t<key>ProcessType</key>\n"
           "\t<string>Interactive</string>\n"
           "\t<key>ProgramArguments</key>\n"
           "\t<array>\n"
           "\t\t<string>" +
           xmlEscaped(executable.string()) +
           "</string>\n"
           "\t\t<string>serve</string>\n"
           "\t</array>\n"
           "\t<key>RunAtLoad</key>\n"
           "\t<true/>\n"
           "\t<key>StandardErrorPath</key>\n"
           "\t<string>" +
           log +
           "</string>\n"
           "\t<key>StandardOutPath</key>\n"
           "\t<string>" +
           log +
           "</string>\n"
           "</dict>\n"
           "</plist>\n";
}

std::string systemdUnit(const std::filesystem::path& executable,
                        const std::filesystem::path& logFile) {
    const std::string log = withoutSpecifiers(logFile.string());
    return "[Unit]\n"
           "Description=pavix-bridge\n"
           "\n"
           "[Service]\n"
           "ExecStart=" +
           systemdQuoted(executable.string()) +
           " serve\n"
           "Restart=always\n"
           "StandardOutput=append:" +
           log +
           "\n"
           "StandardError=append:" +
           log +
           "\n"
           "\n"
           "[Install]\n"
           "WantedBy=default.target\n";
}

} // namespace pavix
