// The product's name, maker and version as every face of the dialog shows
// them (the caption, the about box).
#pragma once

#include "krii_version.h"

inline constexpr const char* KRII_PRODUCT_TITLE = "KORIN-IOS镜像取证工具";
inline constexpr const char* KRII_COPYRIGHT = "Copyright (C) 2018 korin. All rights reserved.";
inline constexpr const char* KRII_WEB_ADDRESS = "http://www.korin.example/";
// A caption holds at most this many characters.
inline constexpr int KRII_CAPTION_MAX = 259;
