#!/usr/bin/python3
"""Writes the small JPEG files of the decoder tests (run once; the files are kept).

    tests/data/jpeg/make_jpegs.py

A 45 x 29 test card (gradients, noise, hard colour edges) in every chroma layout and
colour kind the decoder meets: 4:4:4, 4:2:2, 4:2:0 and 4:4:0 / 4:1:1 (written through
libjpeg-turbo's own compressor, which the imaging library cannot select), grey,
progressive, CMYK, and an EXIF orientation tag that must be ignored.
Prints the SHA-256 of each file's RGB pixels as the imaging library decodes them
(Image.open(...).convert("RGB")): the values the tests expect.
"""
import ctypes
import hashlib
import os
import random

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
W, H = 45, 29


def card():
    rng = random.Random(11)
    img = Image.new("RGB", (W, H))
    px = img.load()
    for y in range(H):
        for x in range(W):
            r = (x * 255) // (W - 1)
            g = (y * 255) // (H - 1)
            b = (x * y * 7 + rng.randrange(40)) % 256
            if 10 <= x < 20 and 5 <= y < 15:
                r, g, b = 230, 20, 40
            if 28 <= x < 40 and 12 <= y < 25:
                r, g, b = 10, 60 + 8 * (x - 28), 220
            px[x, y] = (r, g, b)
    return img


def turbo_jpeg(img, subsampling):
    """Compresses with libjpeg-turbo (TJSAMP_* value) at quality 90."""
    tj = ctypes.CDLL("libturbojpeg.so.0")
    tj.tjInitCompress.restype = ctypes.c_void_p
    handle = tj.tjInitCompress()
    buf = ctypes.POINTER(ctypes.c_ubyte)()
    size = ctypes.c_ulong(0)
    data = img.tobytes()
    rc = tj.tjCompress2(ctypes.c_void_p(handle), data, W, 0, H, 0, ctypes.byref(buf), ctypes.byref(size),
                        subsampling, 90, 0)  # TJPF_RGB
    if rc != 0:
        raise SystemExit("tjCompress2 failed")
    out = ctypes.string_at(buf, size.value)
    tj.tjFree(buf)
    tj.tjDestroy(ctypes.c_void_p(handle))
    return out


def main():
    img = card()
    files = {}
    for name, opts in (("s444", {"subsampling": 0}), ("s422", {"subsampling": 1}), ("s420", {"subsampling": 2}),
                       ("progressive", {"subsampling": 2, "progressive": True}),
                       ("optimized_q35", {"subsampling": 2, "optimize": True, "quality": 35})):
        path = os.path.join(HERE, name + ".jpg")
        img.save(path, quality=opts.pop("quality", 90), **opts)
        files[name] = path
    img.convert("L").save(os.path.join(HERE, "grey.jpg"), quality=90)
    files["grey"] = os.path.join(HERE, "grey.jpg")
    img.convert("CMYK").save(os.path.join(HERE, "cmyk.jpg"), quality=90)
    files["cmyk"] = os.path.join(HERE, "cmyk.jpg")
    exif = Image.Exif()
    exif[0x0112] = 6  # "rotate 90 degrees": droidlens keeps the stored orientation
    img.save(os.path.join(HERE, "exif_rotated.jpg"), quality=90, exif=exif.tobytes())
    files["exif_rotated"] = os.path.join(HERE, "exif_rotated.jpg")
    for name, samp in (("s440", 4), ("s411", 5)):
        path = os.path.join(HERE, name + ".jpg")
        with open(path, "wb") as f:
            f.write(turbo_jpeg(img, samp))
        files[name] = path
    for name, path in sorted(files.items()):
        rgb = Image.open(path).convert("RGB")
        assert rgb.size == (W, H), (name, rgb.size)
        print(f'{{"{name}.jpg", "{hashlib.sha256(rgb.tobytes()).hexdigest()}"}},  // {os.path.getsize(path)} bytes')


if __name__ == "__main__":
    main()
