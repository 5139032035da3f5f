// the model: where the stamps land and what the picture must be after k of them
#include "xdrive.h"

#include <cstdlib>

namespace
{

// the cube as it should look: # black, r red, . transparent
const char *const block_rows[30] = {
    "..............................", "..............................",
    "..............................", "..............................",
    "..............................", "..............................",
    "..............................", "..............................",
    "......################........", ".....#rrrrrrrrrrrrrr##........",
    "....#rrrrrrrrrrrrrr#r#........", "...#rrrrrrrrrrrrrr#rr#........",
    "..#rrrrrrrrrrrrrr#rrr#........", ".#rrrrrrrrrrrrrr#rrrr#........",
    "#rrrrrrrrrrrrrr#rrrrr#........", "###############rrrrrr#........",
    "#rrrrrrrrrrrrr#rrrrrr#........", "#rrrrrrrrrrrrr#rrrrrr#........",
    "#rrrrrrrrrrrrr#rrrrrr#........", "#rrrrrrrrrrrrr#rrrrrr#........",
    "#rrrrrrrrrrrrr#rrrrrr#........", "#rrrrrrrrrrrrr#rrrrrr#........",
    "#rrrrrrrrrrrrr#rrrrrr#........", "#rrrrrrrrrrrrr#rrrrrr#........",
    "#rrrrrrrrrrrrr#rrrrr#.........", "#rrrrrrrrrrrrr#rrrr#..........",
    "#rrrrrrrrrrrrr#rrr#...........", "#rrrrrrrrrrrrr#rr#............",
    "#rrrrrrrrrrrrr#r#.............", "################..............",
};

// a red square with a black outline, as the floor draws it
char square_pixel(int x, int y)
{
    return x == 0 || y == 0 || x == 29 || y == 29 ? '#' : 'r';
}

void stamp(std::vector<uint8_t> &model, position at, stamp_shape shape)
{
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 30; ++x) {
            const char c = shape == stamp_shape::cube ? block_rows[y][x] : square_pixel(x, y);
            const int row = at.row + y;
            const int column = at.column + x;
            if (c == '.' || row >= picture_height || column >= picture_width)
                continue;
            model[row * picture_width + column] = c == '#' ? black_pixel : red_pixel;
        }
}

} // namespace

std::vector<position> stamp_positions(int count, const std::function<int()> &next)
{
    std::vector<position> positions;
    for (int i = 0; i < count; ++i) {
        const int row = next() % picture_height;
        positions.push_back({row, next() % picture_width});
    }
    return positions;
}

std::vector<position> glibc_positions(int count)
{
    // an unseeded rand() runs as if seeded with 1
    srand(1);
    return stamp_positions(count, [] { return rand(); });
}

std::vector<position> msvcrt_positions(int count)
{
    uint32_t state = 1;
    return stamp_positions(count, [&state] {
        state = state * 214013 + 2531011;
        return static_cast<int>((state >> 16) & 0x7fff);
    });
}

int matching_stamps(const std::vector<uint8_t> &pixels, const std::vector<position> &positions,
                    stamp_shape shape)
{
    std::vector<uint8_t> model(pixels.size(), black_pixel);
    int found = -1;
    for (size_t k = 0;; ++k) {
        if (model == pixels) {
            if (found >= 0)
                return -1;
            found = static_cast<int>(k);
        }
        if (k == positions.size())
            return found;
        stamp(model, positions[k], shape);
    }
}

int stamps_on_screen(Display *display, const std::vector<position> &positions, double &when,
                     stamp_shape shape)
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        when = now_seconds();
        const int k = matching_stamps(read_picture(display).pixels, positions, shape);
        if (k >= 0)
            return k;
    }
    return -1;
}

int least_lagging_stamps(Display *display, const std::vector<position> &positions, double &when,
                         double rate)
{
    constexpr int pictures = 8;
    int best = -1;
    for (int i = 0; i < pictures; ++i) {
        const std::vector<uint8_t> pixels = read_picture(display).pixels;
        const double read = now_seconds();
        const int k = matching_stamps(pixels, positions);
        if (k >= 0 && (best < 0 || k - rate * read > best - rate * when)) {
            best = k;
            when = read;
        }
        // spread over more than a scheduler's time slice
        sleep_seconds(0.02);
    }
    return best;
}
