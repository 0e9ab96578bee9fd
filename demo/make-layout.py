#!/usr/bin/env python3
"""Writes the demo's house (config/virtualdisplay.csv) and the outputs that carry the same
channels (config/channeloutputs.json: the HUB75 panel; config/co-pixelStrings.json: two DPI
strings). Run it again after changing the numbers below; the files it writes are committed.

Channels (1-based), 13 universes of 510:
  1..6144     the 64 x 32 matrix, rows from the top, left to right, RGB
  6145..6312  the roof line, 56 pixels from the left eave over the ridge to the right eave
  6313..6456  four windows, 12 pixels each (a 4 x 4 outline, clockwise from the top left)
  6457..6630  the tree, 58 pixels from the top down, each row left to right
"""
import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))
WIDTH, HEIGHT = 320, 200  # the layout's coordinates are the House model's pixels

lights = []  # (x, y) in channel order, RGB each


def add(x, y):
    lights.append((int(round(x)), int(round(y))))


# The matrix: 64 x 32 lights two model pixels apart, framed by the walls.
for row in range(32):
    for col in range(64):
        add(96 + 2 * col, 106 + 2 * row)
# Roof line: 28 lights up the left slope, 28 down the right.
for i in range(28):
    add(12 + i * (148 - 12) / 27.5, 92 - i * (92 - 20) / 27.5)
for i in range(28):
    add(148 + (i + 0.5) * (284 - 148) / 27.5, 20 + (i + 0.5) * (92 - 20) / 27.5)
# Windows: 4 x 4 outlines, 4 pixels apart, two each side of the matrix.
outline = [(0, 0), (1, 0), (2, 0), (3, 0), (3, 1), (3, 2), (3, 3), (2, 3), (1, 3), (0, 3), (0, 2), (0, 1)]
for (wx, wy) in [(40, 112), (40, 150), (248, 112), (248, 150)]:
    for (dx, dy) in outline:
        add(wx + 4 * dx, wy + 4 * dy)
# The tree: rows of 1, 2, ... lights widening downwards until 58 are placed.
count, row = 0, 0
while count < 58:
    n = min(row + 1, 58 - count)
    y = 44 + row * 13
    for k in range(n):
        add(296 + (k - (n - 1) / 2) * 5, y)
    count += n
    row += 1
assert len(lights) == 2210, len(lights)

with open(os.path.join(HERE, "config", "virtualdisplay.csv"), "w") as f:
    f.write("# The demo house: x,y,startChannel,channels,colorType (written by demo/make-layout.py)\n")
    f.write("size,%d,%d\n" % (WIDTH, HEIGHT))
    for n, (x, y) in enumerate(lights):
        f.write("%d,%d,%d,3,0\n" % (x, y, 1 + 3 * n))

panel = {"type": "LEDPanelMatrix", "subType": "RGBMatrix", "enabled": 1, "startChannel": 1,
         "channelCount": 6144, "panelWidth": 64, "panelHeight": 32, "gamma": "1.0",
         "brightness": 100, "LEDPanelMatrixName": "Matrix",
         "panels": [{"outputNumber": 0, "panelNumber": 0, "orientation": "N", "xOffset": 0,
                     "yOffset": 0, "colorOrder": "RGB"}]}
house = {"type": "VirtualDisplay", "enabled": 1, "startChannel": 1, "channelCount": 6630,
         "ModelName": "House", "PixelSize": 2}
with open(os.path.join(HERE, "config", "channeloutputs.json"), "w") as f:
    json.dump({"channelOutputs": [panel]}, f, indent=1)
    f.write("\n")
with open(os.path.join(HERE, "config", "co-other.json"), "w") as f:
    json.dump({"channelOutputs": [house]}, f, indent=1)
    f.write("\n")


def port(number, start, pixels, name):
    return {"portNumber": number, "virtualStrings": [
        {"description": name, "startChannel": start, "pixelCount": pixels, "colorOrder": "RGB",
         "brightness": 100, "gamma": 1.0}]}


strings = {"type": "DPIPixels", "subType": "DPIPixels", "enabled": 1, "startChannel": 6145,
           "channelCount": 486, "device": "kivdemo-dpi",
           "outputs": [port(0, 6144, 104, "Roof and windows"), port(1, 6456, 58, "Tree")]}
with open(os.path.join(HERE, "config", "co-pixelStrings.json"), "w") as f:
    json.dump({"channelOutputs": [strings]}, f, indent=1)
    f.write("\n")
