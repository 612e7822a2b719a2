// The harness: what the tests compare, texts with their stamps masked, the
// dates and times of a zone, numbered messages and rule lines.
#include "harness.h"

#include "fresh_state.h"

namespace kit {
bool shaped(const std::string& text, std::size_t at, const char* shape)
{
    for (std::size_t i = 0; shape[i] != '\0'; ++i) {
        if (at + i >= text.size())
            return false;
        char c = text[at + i];
        if (shape[i] == '9' ? c < '0' || c > '9' : c != shape[i])
            return false;
    }
    return true;
}

std::string masked(const std::string& text)
{
    static const char hour[] = "H:99:99:99|", stamp[] = " 99/99/9999 99:99:99  ***";
    std::string t;
    for (std::size_t i = 0; i < text.size();) {
        if (shaped(text, i, hour)) {
            t += "H:hh:mm:ss|";
            i += sizeof hour - 1;
        } else if (shaped(text, i, stamp)) {
            t += " STAMP  ***";
            i += sizeof stamp - 1;
        } else {
            t += text[i++];
        }
    }
    return t;
}

std::string shown_line(const std::string& msg)
{
    return "H:hh:mm:ss|from:127.0.0.1 | " + msg + "\"\n";
}

std::string logged(const std::string& msg) { return " STAMP  ***  " + msg + "  \n"; }

std::size_t logged_size(const std::string& msg)
{
    const std::size_t stamp = 19, masked_stamp = 5; // "dd/mm/yyyy hh:mm:ss", "STAMP"
    return logged(msg).size() - masked_stamp + stamp;
}

// Formats a local time in the zone tz; shift moves the date by whole days.
static std::string format_in(const char* format, long long when, const std::string& tz, int shift)
{
    const kept_tz kept;
    use_tz(tz);
    time_t t = static_cast<time_t>(when);
    struct tm tm;
    localtime_r(&t, &tm);
    if (shift != 0) {
        tm.tm_mday += shift;
        tm.tm_hour = 12;
        tm.tm_isdst = -1;
        mktime(&tm);
    }
    char buf[64];
    strftime(buf, sizeof buf, format, &tm);
    kept.restore();
    return buf;
}

std::string local_text(const char* format, long long when, const std::string& tz)
{
    return format_in(format, when, tz, 0);
}

void use_tz(const std::string& tz)
{
    setenv("TZ", tz.c_str(), 1);
    tzset();
}

std::string rule_lines(int from, int to, char kind)
{
    std::string text;
    for (int i = from; i < to; ++i)
        text += "k" + std::to_string(i) + " " + kind + " p" + std::to_string(i) + "_\n";
    return text;
}

std::string numbered(char letter, int i, std::size_t pad)
{
    char head[16];
    std::snprintf(head, sizeof head, "%c%05d", letter, i);
    return pad == 0 ? head : head + (" " + std::string(pad, 'x'));
}

std::string days_ago(int n, const std::string& tz)
{
    return format_in("%Y_%m_%d", time(nullptr), tz, -n);
}

} // namespace kit
