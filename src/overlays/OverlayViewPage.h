#pragma once
// The live view page served at /overlays/view: one self-contained HTML document (no outside
// scripts, styles or fonts, so it works on a board without internet). It lists every overlay
// model with its state and live picture (the PNG route with live=true, about ten times a second)
// and per model buttons that switch the state and fill or clear it through the model routes. It
// polls the model list each second, so models added or removed while it is open come and go.

#include <string>

const std::string& OverlayViewPage();
