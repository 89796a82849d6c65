#!/usr/bin/env python3
"""Draws Vantrel's icons and writes the .ico files next to this script (icons/).

The picture: an amber source folder whose contents are mirrored, along a green arrow, into a
blue destination folder in front of it. The warning variant (shown in the notification area
while something keeps a pair from being mirrored) adds a yellow warning sign in front. Sizes from 48 pixels up are drawn smooth (4x
supersampling), 32 pixels without smoothing, and 16 pixels pixel by pixel, so the small
shapes stay crisp in the notification area.

    python3 res/make_icons.py        (needs python3-pil)
"""
import io
import os
import struct

from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))

AMBER = (236, 170, 38, 255)
AMBER_LIGHT = (250, 206, 92, 255)
AMBER_DARK = (139, 88, 8, 255)
BLUE = (38, 104, 206, 255)
BLUE_LIGHT = (96, 156, 236, 255)
BLUE_DARK = (16, 48, 112, 255)
GREEN = (40, 168, 72, 255)
GREEN_DARK = (16, 92, 36, 255)
WHITE = (255, 255, 255, 255)
YELLOW = (255, 206, 0, 255)
INK = (32, 32, 32, 255)


def folder(d, s, x, y, w, h, body, light, dark, line):
    """A folder at (x, y) of size w x h in a 48-unit grid scaled by s."""
    def r(v):
        return round(v * s)
    tab_w, tab_h = w * 0.42, h * 0.2
    # tab, then back plate, then the lighter front flap slightly lower
    d.rounded_rectangle([r(x), r(y), r(x + tab_w), r(y + tab_h * 2)], radius=r(1.2),
                        fill=body, outline=dark, width=line)
    d.rounded_rectangle([r(x), r(y + tab_h), r(x + w), r(y + h)], radius=r(1.5),
                        fill=body, outline=dark, width=line)
    d.rounded_rectangle([r(x), r(y + tab_h * 2.1), r(x + w), r(y + h)], radius=r(1.5),
                        fill=light, outline=dark, width=line)


def arrow(d, s, points, width, head, fill, outline):
    def r(p):
        return (round(p[0] * s), round(p[1] * s))
    pts = [r(p) for p in points]
    # outline first, the arrow over it
    d.line(pts, fill=outline, width=round((width + 2) * s), joint="curve")
    d.line(pts, fill=fill, width=round(width * s), joint="curve")
    tip, base_l, base_r = [r(p) for p in head]
    d.polygon([tip, base_l, base_r], fill=fill, outline=outline, width=max(1, round(s)))


def draw_smooth(size, kind):
    # 32 pixels: drawn straight on the grid, since smoothing blurs its one-pixel outlines
    k = 1 if size == 32 else 4
    s = size * k / 48.0
    img = Image.new("RGBA", (size * k, size * k), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    line = max(1, round(s * 1.2))
    if k == 1:
        line = 1
    if kind in ("app", "warning"):
        folder(d, s, 2, 5, 28, 22, AMBER, AMBER_LIGHT, AMBER_DARK, line)
        folder(d, s, 18, 22, 28, 22, BLUE, BLUE_LIGHT, BLUE_DARK, line)
        arrow(d, s, [(31, 9), (38, 10), (41, 15)], 4, [(41, 22), (35.5, 15), (46.5, 15)],
              GREEN, GREEN_DARK)
        if kind == "warning":
            warning_sign(d, s, line)
    elif kind == "source":
        folder(d, s, 3, 9, 42, 32, AMBER, AMBER_LIGHT, AMBER_DARK, line)
        arrow(d, s, [(16, 29), (28, 29)], 5, [(37, 29), (28, 22), (28, 36)], GREEN, GREEN_DARK)
    else:
        folder(d, s, 3, 9, 42, 32, BLUE, BLUE_LIGHT, BLUE_DARK, line)
        arrow(d, s, [(24, 15), (24, 24)], 5, [(24, 34), (17, 24), (31, 24)], GREEN, GREEN_DARK)
    return img.resize((size, size), Image.LANCZOS)


def warning_sign(d, s, line):
    """A yellow triangle with an exclamation mark in the bottom right corner of the grid."""
    def r(p):
        return (round(p[0] * s), round(p[1] * s))
    d.polygon([r((33.5, 20)), r((47.5, 46.5)), r((19.5, 46.5))], fill=YELLOW, outline=INK,
              width=max(1, round(line * 1.5)))
    d.rectangle([r((31.8, 28)), r((35.2, 38.5))], fill=INK)
    d.rectangle([r((31.8, 40.5)), r((35.2, 43.5))], fill=INK)


PIXEL_MAPS = {
    "app": [
        "................",
        "AAAA............",
        "AaaAAAAAA.GGGG..",
        "AaaaaaaaA.GGGG..",
        "AAAAAAAAA...GG..",
        "AlllllllA...GG..",
        "AlllllllA.GGGGGG",
        "AlllllllA..GGGG.",
        "AllllBBBBB..GG..",
        "AAAAABbbbBBBBBBB",
        ".....BbbbbbbbbbB",
        ".....BBBBBBBBBBB",
        ".....BcccccccccB",
        ".....BcccccccccB",
        ".....BcccccccccB",
        ".....BBBBBBBBBBB",
    ],
    "source": [
        "................",
        "................",
        "AAAAAA..........",
        "AaaaaAAAAAAAAAAA",
        "AaaaaaaaaaaaaaaA",
        "AAAAAAAAAAAAAAAA",
        "AllllllllllllllA",
        "AlllllllllGllllA",
        "AlllllllllGGlllA",
        "AllGGGGGGGGGGllA",
        "AllGGGGGGGGGGllA",
        "AlllllllllGGlllA",
        "AlllllllllGllllA",
        "AllllllllllllllA",
        "AAAAAAAAAAAAAAAA",
        "................",
    ],
    "dest": [
        "................",
        "................",
        "BBBBBB..........",
        "BbbbbBBBBBBBBBBB",
        "BbbbbbbbbbbbbbbB",
        "BBBBBBBBBBBBBBBB",
        "BccccccGGccccccB",
        "BccccccGGccccccB",
        "BccccccGGccccccB",
        "BccccccGGccccccB",
        "BccccGGGGGGccccB",
        "BcccccGGGGcccccB",
        "BccccccGGccccccB",
        "BccccccccccccccB",
        "BBBBBBBBBBBBBBBB",
        "................",
    ],
}
# The warning sign over the 16-pixel picture: K outline and mark, Y yellow, "." the picture.
WARNING_SIGN = [
    "................",
    "................",
    "................",
    "................",
    "................",
    "................",
    "..........K.....",
    ".........KYK....",
    ".........KYK....",
    "........KYKYK...",
    "........KYKYK...",
    ".......KYYKYYK..",
    ".......KYYKYYK..",
    "......KYYYYYYYK.",
    "......KYYYKYYYK.",
    ".....KKKKKKKKKKK",
]
PIXEL_MAPS["warning"] = [
    "".join(sign if sign != "." else picture for picture, sign in zip(row, sign_row))
    for row, sign_row in zip(PIXEL_MAPS["app"], WARNING_SIGN)
]
PIXEL_COLOURS = {"A": AMBER_DARK, "a": AMBER, "l": AMBER_LIGHT, "B": BLUE_DARK, "b": BLUE,
                 "c": BLUE_LIGHT, "G": GREEN, "K": INK, "Y": YELLOW}


def draw_pixel(kind):
    """16 pixels: drawn on the pixel grid so the notification area shows crisp shapes."""
    img = Image.new("RGBA", (16, 16), (0, 0, 0, 0))
    px = img.load()
    for y, row in enumerate(PIXEL_MAPS[kind]):
        for x, ch in enumerate(row):
            if ch != ".":
                px[x, y] = PIXEL_COLOURS[ch]
    return img


def draw(size, kind):
    return draw_pixel(kind) if size == 16 else draw_smooth(size, kind)


def mask_rows(img):
    """The AND mask: 1 where the pixel is transparent. Bottom-up rows padded to 32 bits."""
    w, h = img.size
    stride = ((w + 31) // 32) * 4
    out = bytearray()
    alpha = img.getchannel("A").load()
    for y in range(h - 1, -1, -1):
        row = bytearray(stride)
        for x in range(w):
            if alpha[x, y] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def dib(img, bpp):
    w, h = img.size
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, bpp, 0, 0, 0, 0, 0, 0)
    if bpp == 32:
        px = img.load()
        pixels = bytearray()
        for y in range(h - 1, -1, -1):
            for x in range(w):
                r, g, b, a = px[x, y]
                pixels += bytes((b, g, r, a))
        return header + bytes(pixels) + mask_rows(img)
    # 8 bits: a 256-colour palette; transparency lives in the AND mask only
    flat = Image.new("RGB", img.size, (0, 0, 0))
    opaque = img.getchannel("A").point(lambda a: 255 if a >= 128 else 0)
    flat.paste(img.convert("RGB"), mask=opaque)
    pal_img = flat.quantize(colors=256, method=Image.MEDIANCUT, dither=Image.NONE)
    palette = pal_img.getpalette()[: 256 * 3]
    palette += [0] * (256 * 3 - len(palette))
    pal = bytearray()
    for i in range(256):
        pal += bytes((palette[i * 3 + 2], palette[i * 3 + 1], palette[i * 3], 0))
    stride = (w + 3) // 4 * 4
    idx = pal_img.load()
    pixels = bytearray()
    for y in range(h - 1, -1, -1):
        row = bytearray(stride)
        for x in range(w):
            row[x] = idx[x, y]
        pixels += row
    return header + bytes(pal) + bytes(pixels) + mask_rows(img)


def png(img):
    buf = io.BytesIO()
    img.save(buf, format="PNG", optimize=True)
    return buf.getvalue()


def write_ico(path, images):
    """images: list of (size, bpp). 256-pixel 32-bit images are stored as PNG."""
    blobs = []
    for size, bpp, img in images:
        data = png(img) if (size == 256 and bpp == 32) else dib(img, bpp)
        blobs.append((size, bpp, data))
    out = struct.pack("<HHH", 0, 1, len(blobs))
    offset = 6 + 16 * len(blobs)
    entries = b""
    for size, bpp, data in blobs:
        dim = 0 if size == 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, bpp, len(data), offset)
        offset += len(data)
    out += entries + b"".join(data for _, _, data in blobs)
    with open(path, "wb") as f:
        f.write(out)


NINE = [(256, 8), (48, 8), (32, 8), (16, 8), (256, 32), (64, 32), (48, 32), (32, 32), (16, 32)]


def main():
    out = os.path.join(HERE, "icons")
    os.makedirs(out, exist_ok=True)
    cache = {}

    def image(size, kind):
        if (size, kind) not in cache:
            cache[size, kind] = draw(size, kind)
        return cache[size, kind]

    write_ico(os.path.join(out, "vantrel.ico"),
              [(s, 32, image(s, "app")) for s in (16, 32, 48, 256)])
    write_ico(os.path.join(out, "tray_warning.ico"),
              [(s, 32, image(s, "warning")) for s in (16, 32, 48, 256)])
    for name, kind in [("vantrel_large.ico", "app"), ("vantrel_small.ico", "app"),
                       ("source_folder.ico", "source"), ("dest_folder.ico", "dest")]:
        write_ico(os.path.join(out, name), [(s, b, image(s, kind)) for s, b in NINE])
    # previews for looking at the artwork (not part of the build)
    preview = os.environ.get("VANTREL_ICON_PREVIEW")
    if preview:
        sheet = Image.new("RGBA", (16 * 8 + 32 * 4 + 48 * 2 + 256 + 64, 256 * 4), (200, 200, 200, 255))
        for row, kind in enumerate(["app", "source", "dest", "warning"]):
            x = 0
            for size, zoom in [(16, 8), (32, 4), (48, 2), (256, 1)]:
                big = image(size, kind).resize((size * zoom, size * zoom), Image.NEAREST)
                sheet.alpha_composite(big, (x, row * 256))
                x += size * zoom + 16
        sheet.save(preview)


if __name__ == "__main__":
    main()
