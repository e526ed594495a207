// The system's own fixed texts, each written once: message boxes, indicator captions, the
// folders the voice buttons and the recovery use. Window captions that the operator can
// translate live in the settings table (their defaults) and the language table.
#pragma once

#include <string_view>

namespace horatone::texts {

// Program identity. The version is major.minor.revision.
inline constexpr std::string_view kProductName = "Horatone";
inline constexpr int kVersionMajor = 2;
inline constexpr int kVersionMinor = 0;
inline constexpr int kVersionRevision = 1;

// The settings file and its section.
inline constexpr std::string_view kSettingsFile = "Horatone.ini";
inline constexpr std::string_view kSettingsSection = "SETTINGS";

// Transmit indicators.
inline constexpr std::string_view kPttOn = "PTT ON";
inline constexpr std::string_view kPttOff = "PTT OFF";

// The progress boxes before any clip is loaded, and the reset after each clip start.
inline constexpr std::string_view kZeroTime = "00:00:00";

// The quit question.
inline constexpr std::string_view kQuitText =
    "Quit Program - Are You Sure ? Remember To Save Any Changes  ";
inline constexpr std::string_view kQuitTitle = "Exit Program";

// The composer's recovery message, four lines joined by CR LF.
inline constexpr std::string_view kRenderErrorTitle = "Error";
inline constexpr std::string_view kRenderErrorLine1 =
    "          Render error no rendering device found. (Voice File Missing)";
inline constexpr std::string_view kRenderErrorLine3 =
    "                               US Tarvo, UK Ilsen & UK Brannic ";
inline constexpr std::string_view kRenderErrorLine4 =
    " Get these free voices files for Horatone from ";
inline constexpr std::string_view kVoiceSiteAddress = "https://horatone.invalid/voices";

// Folders: the first voice's default, the recovery folder, and the Default buttons'.
inline constexpr std::string_view kVoice1Folder = "C:\\Program Files\\Horatone\\";
inline constexpr std::string_view kRecoveryFolder = "C:\\HoraVoice\\F\\";
inline constexpr std::string_view kVoice2Folder = "C:\\HoraVoice\\M\\";
inline constexpr std::string_view kVoice3Folder = "C:\\HoraVoice\\F_UK\\";
inline constexpr std::string_view kVoice4Folder = "C:\\HoraVoice\\M_UK\\";
inline constexpr std::string_view kVoice5Folder = "C:\\HoraVoice\\Other\\";

// The DTMF code box before start-up fills it.
inline constexpr std::string_view kDtmfDesignText = "##123**";

// The version query in chat.
inline constexpr std::string_view kVersionQuery = "/ver/";

// Messages of our own (not translatable, like every message box).
inline constexpr std::string_view kSettingsTitle = "Horatone Settings";
inline constexpr std::string_view kSaveFailedTitle = "Save";

// Design captions and tooltips that no language text replaces: the tab titles, the scale and
// progress labels beside the bars, and the tooltips of the buttons below the tabs and of the
// About window's donation controls.
inline constexpr std::string_view kTabSetup = "Setup";
inline constexpr std::string_view kTabAudioFiles = "Audio Files Location";
inline constexpr std::string_view kTabLanguage = "Language";
inline constexpr std::string_view kVolumeScale[3] = {"0%", "50%", "100%"};
inline constexpr std::string_view kSpeedScale[3] = {"200%", "100%", "<50%"};
inline constexpr std::string_view kBalanceScale = "Left      Center     Right";
inline constexpr std::string_view kTimeLeftCaption = "Time Left :";
inline constexpr std::string_view kTimeUsedCaption = "Time Used :";
inline constexpr std::string_view kLengthCaption = "Lenght :";
inline constexpr std::string_view kProgressFull = "100%";
inline constexpr std::string_view kSaveTooltip = "Save your configuration changes";
inline constexpr std::string_view kSaveAndExitTooltip = "Save date and hide this panel";
inline constexpr std::string_view kDonationAmountTooltip = "Enter the Donation amount";
inline constexpr std::string_view kMakeDonationTooltip =
    "If you like the program why not make a Donation ";

}  // namespace horatone::texts
