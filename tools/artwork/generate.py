#!/usr/bin/python3
"""Draws the Velmora word mark and the application icon.

The committed files in resources/images are the output of this script; the build
never runs it. Run it again after changing the drawing and commit the result:

    tools/artwork/generate.py                 # rewrites resources/images
    tools/artwork/generate.py --out DIR       # writes elsewhere
    tools/artwork/generate.py --check DIR     # exit 1 if DIR differs from a fresh run

Needs python3-pil and the DejaVu fonts (fonts-dejavu-core).
"""

import argparse
import io
import os
import struct
import sys

try:
    from PIL import Image, ImageChops, ImageDraw, ImageFont
except ImportError:  # pragma: no cover - reported to the caller instead
    Image = None

# Exit status of --check when the tools to draw are missing, so a test runner can
# report the comparison as skipped rather than failed.
EXIT_UNAVAILABLE = 77

FONT_PATH = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

LOGO_SIZE = (259, 47)
ICON_SIZES = (16, 32, 48, 64, 128)

# Everything is drawn this many times larger and reduced at the end; the reduction
# is what gives the edges their anti-aliasing.
OVERSAMPLE = 8

NAVY = (27, 36, 64)
EYE_WHITE = (255, 255, 255)
RIM = (86, 110, 176)

# Cold-to-hot ramp of the iris, from its rim to its centre.
THERMAL_STOPS = [
    (0.00, (255, 236, 120)),
    (0.30, (255, 176, 46)),
    (0.60, (236, 78, 38)),
    (0.85, (150, 30, 92)),
    (1.00, (86, 22, 104)),
]


def _lerp(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def _thermal_colour(t):
    for (t0, c0), (t1, c1) in zip(THERMAL_STOPS, THERMAL_STOPS[1:]):
        if t <= t1:
            return _lerp(c0, c1, (t - t0) / (t1 - t0))
    return THERMAL_STOPS[-1][1]


def _thermal_palette():
    palette = []
    for i in range(256):
        palette.extend(_thermal_colour(i / 255))
    return palette


def _radial_thermal(size):
    """A square of the given size whose colour runs hot in the middle to cold at
    the inscribed circle's rim and beyond."""
    # radial_gradient is 0 at the centre and 255 at a distance of 128 of its 256
    # pixels, i.e. at the rim of the inscribed circle.
    ramp = Image.radial_gradient("L").resize((size, size), Image.BILINEAR)
    ramp.putpalette(_thermal_palette())
    return ramp.convert("RGB")


def _circle_mask(size, cx, cy, r):
    mask = Image.new("L", (size, size), 0)
    ImageDraw.Draw(mask).ellipse((cx - r, cy - r, cx + r, cy + r), fill=255)
    return mask


def _emblem(size, bold=False):
    """The emblem, drawn on a transparent square of size * OVERSAMPLE pixels: a navy
    disc holding an eye whose iris carries a heat map.

    `bold` thickens the shapes for the smallest renderings, where thin parts would
    vanish into one or two grey pixels."""
    s = size * OVERSAMPLE
    c = s / 2
    out = Image.new("RGBA", (s, s), (0, 0, 0, 0))

    # A lighter rim keeps the disc apart from dark task bars and title bars.
    out.paste(Image.new("RGBA", (s, s), RIM + (255,)), (0, 0), _circle_mask(s, c, c, s * 0.49))
    disc = _circle_mask(s, c, c, s * (0.49 - (0.05 if bold else 0.035)))
    out.paste(Image.new("RGBA", (s, s), NAVY + (255,)), (0, 0), disc)

    # The eye's outline is the lens where two large circles overlap.
    half_width = s * (0.40 if bold else 0.38)
    half_height = s * (0.25 if bold else 0.22)
    r = (half_width**2 + half_height**2) / (2 * half_height)
    upper = _circle_mask(s, c, c - half_height + r, r)
    lower = _circle_mask(s, c, c + half_height - r, r)
    lens = ImageChops.multiply(upper, lower)
    out.paste(Image.new("RGBA", (s, s), EYE_WHITE + (255,)), (0, 0), lens)

    iris_r = s * (0.20 if bold else 0.185)
    iris = _radial_thermal(round(2 * iris_r))
    iris_box = (round(c - iris_r), round(c - iris_r))
    iris_mask = ImageChops.multiply(_circle_mask(s, c, c, iris_r), lens)
    placed = Image.new("RGB", (s, s), NAVY)
    placed.paste(iris, iris_box)
    out.paste(placed, (0, 0), iris_mask)

    if not bold:
        pupil = _circle_mask(s, c, c, s * 0.06)
        out.paste(Image.new("RGBA", (s, s), NAVY + (255,)), (0, 0), pupil)
        glint = _circle_mask(s, c + s * 0.035, c - s * 0.035, s * 0.022)
        out.paste(Image.new("RGBA", (s, s), EYE_WHITE + (255,)), (0, 0), glint)
    return out


def _reduce(image, size):
    # Pillow premultiplies RGBA before resampling, so the transparent surroundings
    # do not darken the edges.
    return image.resize(size, Image.LANCZOS)


def draw_icon(size):
    return _reduce(_emblem(size, bold=size < 32), (size, size))


def draw_logo():
    w, h = LOGO_SIZE
    k = OVERSAMPLE
    out = Image.new("RGBA", (w * k, h * k), (0, 0, 0, 0))

    emblem_size = 43
    margin = (h - emblem_size) // 2
    out.alpha_composite(_emblem(emblem_size), (margin * k, margin * k))

    text = "Velmora"
    text_left = (margin + emblem_size + 8) * k
    text_right = (w - 3) * k
    font_px = 38 * k
    font = ImageFont.truetype(FONT_PATH, font_px)
    # Shrink the type until the word fits the room right of the emblem.
    while font.getbbox(text)[2] - font.getbbox(text)[0] > text_right - text_left:
        font_px -= k
        font = ImageFont.truetype(FONT_PATH, font_px)
    left, top, right, bottom = font.getbbox(text)
    # Centre the ink, not the font's line box: the word has no descenders.
    ink_h = bottom - top
    y = (h * k - ink_h) // 2 - top - 3 * k
    draw = ImageDraw.Draw(out)
    draw.text((text_left - left, y), text, font=font, fill=NAVY + (255,))

    # A thin heat scale under the word ties it to the emblem.
    bar_top = y + bottom + 4 * k
    bar = _thermal_bar(right - left, 3 * k)
    out.paste(bar, (text_left, bar_top))
    return _reduce(out, LOGO_SIZE)


def _thermal_bar(width, height):
    bar = Image.new("RGBA", (width, height))
    draw = ImageDraw.Draw(bar)
    for x in range(width):
        draw.line((x, 0, x, height - 1), fill=_thermal_colour(1 - x / (width - 1)) + (255,))
    # Rounded ends, so the bar reads as a stroke rather than a cut strip.
    mask = Image.new("L", (width, height), 0)
    ImageDraw.Draw(mask).rounded_rectangle((0, 0, width - 1, height - 1), radius=height // 2, fill=255)
    bar.putalpha(mask)
    return bar


def png_bytes(image):
    buffer = io.BytesIO()
    image.save(buffer, format="PNG", optimize=True)
    return buffer.getvalue()


def _dib(image):
    """One icon image: a BITMAPINFOHEADER, the 32-bit BGRA pixels bottom-up, then
    the 1-bit AND mask bottom-up with rows padded to 32 bits. The mask marks the
    fully transparent pixels, for readers that ignore the alpha channel."""
    w, h = image.size
    pixels = image.load()
    mask_row_bytes = ((w + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(h)):
        row_mask = bytearray(mask_row_bytes)
        for x in range(w):
            r, g, b, a = pixels[x, y]
            xor += bytes((b, g, r, a))
            if a == 0:
                row_mask[x // 8] |= 0x80 >> (x % 8)
        mask += row_mask
    header = struct.pack(
        "<IiiHHIIiiII",
        40,  # header size
        w,
        2 * h,  # colour bitmap and mask stacked
        1,  # planes
        32,  # bits per pixel
        0,  # BI_RGB, uncompressed
        len(xor) + len(mask),
        0,
        0,
        0,
        0,
    )
    return header + bytes(xor) + bytes(mask)


def ico_bytes(images):
    dibs = [_dib(image) for image in images]
    out = bytearray(struct.pack("<HHH", 0, 1, len(dibs)))
    offset = 6 + 16 * len(dibs)
    for image, dib in zip(images, dibs):
        w, h = image.size
        out += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(dib), offset)
        offset += len(dib)
    for dib in dibs:
        out += dib
    return bytes(out)


def render():
    return {
        "velmora-logo.png": png_bytes(draw_logo()),
        "velmora_icon.ico": ico_bytes([draw_icon(size) for size in ICON_SIZES]),
    }


def main():
    default_out = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "resources", "images"))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--out", default=default_out, help="folder to write the images to")
    group.add_argument("--check", metavar="DIR", help="compare DIR with a fresh rendering instead of writing")
    args = parser.parse_args()

    if Image is None or not os.path.exists(FONT_PATH):
        print("generate.py: needs python3-pil and " + FONT_PATH, file=sys.stderr)
        return EXIT_UNAVAILABLE if args.check else 1

    files = render()
    if args.check:
        stale = []
        for name, data in files.items():
            path = os.path.join(args.check, name)
            if not os.path.exists(path) or open(path, "rb").read() != data:
                stale.append(name)
        for name in stale:
            print(f"generate.py: {name} differs from what the script draws", file=sys.stderr)
        return 1 if stale else 0

    os.makedirs(args.out, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(data)
        print(f"wrote {os.path.join(args.out, name)} ({len(data)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
