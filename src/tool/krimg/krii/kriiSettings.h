// The dialog's settings in Qt's per-user store: the schema of
// krii_schema.h, the placement record as Qt's bytes, and the protection of
// the file that holds the device password.
#pragma once

#include <QByteArray>
#include <QString>

#include "krii_schema.h"

// The settings file holds the device password: makes it and its folder the
// user's alone before anything is written to it. Missing folders are made
// 0700, a missing file is made empty with 0600, and an existing folder and
// file are set to 0700 and 0600. False when that failed (an error line says
// which); the caller goes on, as the settings are still needed.
bool krii_settings_protect();

QByteArray krii_placement_encode(const krii_placement& p);
bool krii_placement_decode(const QByteArray& raw, krii_placement* out);
