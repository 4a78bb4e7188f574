#pragma once
// The map's colours, one set for the window, the terminal and the report, so that a
// row has the same colour wherever it is drawn. The row colours come from a palette
// chosen to stay apart for the common kinds of colour blindness; every drawing also
// labels rows and marks kinds by pattern, so colour is never the only clue.

#include <array>
#include <cstdint>

namespace folvane {

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
  friend bool operator==(const Rgb&, const Rgb&) = default;
};

inline constexpr std::array<Rgb, 8> kRowColours = {{
    {0, 114, 178},    // blue
    {230, 159, 0},    // orange
    {0, 158, 115},    // bluish green
    {204, 121, 167},  // reddish purple
    {86, 180, 233},   // sky blue
    {240, 228, 66},   // yellow
    {140, 86, 75},    // brown
    {0, 90, 90},      // dark teal
}};
inline constexpr Rgb kFillColour = {160, 160, 160};
inline constexpr Rgb kLeftOutColour = {204, 0, 0};
inline constexpr Rgb kOutlineColour = {40, 40, 40};

/// The colour of row 1..16; neighbouring rows always differ.
constexpr Rgb RowColour(int row) { return kRowColours[static_cast<std::size_t>((row - 1 + 64) % 8)]; }
/// The light shade of a row's colour that its spare blocks take.
constexpr Rgb SpareColour(int row) {
  const Rgb c = RowColour(row);
  auto light = [](std::uint8_t v) { return static_cast<std::uint8_t>(v + (255 - v) * 3 / 5); };
  return {light(c.r), light(c.g), light(c.b)};
}

}  // namespace folvane
