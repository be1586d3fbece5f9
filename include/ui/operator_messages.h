// ui: messages to the operator at start-up and shutdown (errors, the log warning, the quit
// question). Called by start-up and by the front-ends' close request; implemented by the Qt
// front-end (message boxes), the terminal front-end (standard error, the question asked on the
// terminal) and by tests (a recording implementation).
#pragma once

#include <string>

namespace ui
{

enum class MessageIcon { Error, Warning };

class OperatorMessages
{
  public:
    virtual ~OperatorMessages() = default;
    // A modal message with a caption and an icon; returns when the operator has seen it.
    virtual void show(const std::string &text, const std::string &caption, MessageIcon icon) = 0;
    // Asks text with caption, warning icon, buttons Yes and No; true only for Yes.
    virtual bool ask_yes_no(const std::string &text, const std::string &caption) = 0;
};

// Texts and captions of the station's operator messages.
inline constexpr const char *kMsgAnotherInstance =
    "Another instance of same application is running\nPlease close it first.";
inline constexpr const char *kMsgParseIniError = "Parse ini file error";
inline constexpr const char *kMsgNoDescriptionForPlugin =
    "No valid one file image version description for external plugin";
inline constexpr const char *kMsgPluginInitFailed = "Initialize post plugin failed";
inline constexpr const char *kMsgLogCreateFailed = "Failed to create logging file";
inline constexpr const char *kMsgQuitQuestion = "Are you sure you want to quit?";
inline constexpr const char *kCaptionError = "Error";
inline constexpr const char *kCaptionWarning = "Warning";
inline constexpr const char *kCaptionQuit = "Quit";

} // namespace ui
