#pragma once

#include "ServiceTypes.h"

// The service's own control codes.
constexpr PwDword MSG_GUI_UPDATE_STATUS = 144;
constexpr PwDword MSG_GUI_REQUEST_TO_STOP_STABLE_DIFFUSION = 145;
constexpr PwDword MSG_GUI_REQUEST_TO_LAUNCH_STABLE_DIFFUSION = 146;

// Runs on the control dispatcher's thread, one control at a time.
void PW_WINAPI ServiceCtrlHandler(PwDword control);
