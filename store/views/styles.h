// Style sheets shared by the pages.
#pragma once

// The vertical scroll bar of the home page (white end rule) and of the list
// and detail pages (grey end rule): the same sheet apart from that rule.
inline constexpr const char* SCROLL_STYLE_HOME =
    "QScrollBar:vertical {border: 2px inset #cfcfcf;border-radius: 5px; background: #f2f2f2; "
    "width: 12px; }QScrollBar::handle:vertical {background: #cfcfcf; border-radius: 3px; "
    "min-height: 10px; }QScrollBar::add-line:vertical {background: #ffffff;height: "
    "0px;subcontrol-position: bottom;subcontrol-origin: margin;}QScrollBar::sub-line:vertical "
    "{background: #ffffff; height: 0px;subcontrol-position: top;subcontrol-origin: margin;}";

inline constexpr const char* SCROLL_STYLE_LIST =
    "QScrollBar:vertical {border: 2px inset #cfcfcf;border-radius: 5px; background: #f2f2f2; "
    "width: 12px; }QScrollBar::handle:vertical {background: #cfcfcf; border-radius: 3px; "
    "min-height: 10px; }QScrollBar::add-line:vertical {background: #ffffff;height: "
    "0px;subcontrol-position: bottom;subcontrol-origin: margin;}QScrollBar::sub-line:vertical "
    "{background: #cfcfcf; height: 0px;subcontrol-position: top;subcontrol-origin: margin;}";

// The detail page's install progress: a white groove with a thin grey rim and
// a green fill, the percentage centred.
inline constexpr const char* PROGRESS_STYLE =
    "QProgressBar {border: 1px solid #cfcfcf; border-radius: 5px; background-color: #ffffff; "
    "text-align: center; color: #404040; }QProgressBar::chunk {background-color: #52C41A; "
    "border-radius: 4px; }";
