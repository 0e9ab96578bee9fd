#pragma once
// The channel area of a panel matrix (width x height RGB pixels from a start channel) with its
// sub-matrices: rectangles of channel data kept elsewhere in the buffer (width x height RGB pixels
// from their own start channel, rows back to back) that are copied into the matrix area at an
// offset before each frame, so a part of the show can be placed on the panels separately.
//
// A sub-matrix that does not lie wholly inside the channel buffer (its source) and the matrix (its
// destination) is refused, so the copy never leaves either.

#include <jsoncpp/json/json.h>

#include <string>
#include <vector>

class Matrix {
public:
    Matrix(int startChannel, int width, int height);

    // Adds a sub-matrix (startChannel 0-based); a disabled one is accepted and never copied.
    // Returns false, with the reason in `problem`, when it is refused.
    bool AddSubMatrix(bool enabled, int startChannel, int width, int height, int xOffset, int yOffset,
                      std::string* problem = nullptr);
    // Adds every object of a "subMatrices" array ("startChannel" 1-based); refusals are logged and
    // raised as warnings that begin with `lead` and name the sub-matrix. With enabledOnly the
    // disabled ones are skipped unchecked. Returns the count added.
    int AddSubMatricesFromConfig(const Json::Value& subMatrices, const std::string& lead, bool enabledOnly);

    // Copies the enabled sub-matrices into the matrix area of the whole channel buffer.
    void OverlaySubMatrices(unsigned char* channelData) const;

    int SubMatrixCount() const { return static_cast<int>(subMatrices.size()); }

private:
    struct SubMatrix {
        bool enabled;
        int startChannel;
        int width;
        int height;
        int xOffset;
        int yOffset;
    };

    int startChannel;
    int width;
    int height;
    std::vector<SubMatrix> subMatrices;
};
