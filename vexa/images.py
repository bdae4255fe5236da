"""Reading and writing 8-bit images, the bundled default image, and synthetic
test images (photo-like, smooth, noise)."""
import os
import zlib
import struct

import numpy as np

DEFAULT_IMAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "examples", "data", "landscape.pgm")


def read_pgm(path):
    """Reads a binary (P5) 8-bit PGM file into a 2-D uint8 array."""
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P5" or int(fields[3]) > 255:
        raise ValueError(f"{path}: not an 8-bit binary PGM file")
    width, height = int(fields[1]), int(fields[2])
    pos += 1  # the single whitespace after maxval
    return np.frombuffer(data, np.uint8, width * height, pos).reshape(height, width).copy()


def write_pgm(path, image):
    """Writes a 2-D uint8 array as a binary PGM file."""
    image = np.ascontiguousarray(image, dtype=np.uint8)
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (image.shape[1], image.shape[0]))
        f.write(image.tobytes())


def write_png(path, image):
    """Writes a 2-D uint8 array as a greyscale PNG file."""
    image = np.ascontiguousarray(image, dtype=np.uint8)
    height, width = image.shape
    raw = b"".join(b"\x00" + image[r].tobytes() for r in range(height))

    def chunk(kind, payload):
        body = kind + payload
        return struct.pack(">I", len(payload)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 6)))
        f.write(chunk(b"IEND", b""))


def default_image():
    """The bundled 512 x 512 grey-level image."""
    return read_pgm(DEFAULT_IMAGE)


def _to_uint8(field):
    lo, hi = np.percentile(field, [0.5, 99.5])
    return np.clip((field - lo) / max(hi - lo, 1e-12) * 255.0, 0, 255).astype(np.uint8)


def photo_like(height, width, seed=0):
    """A natural-looking image: 1/f texture with shaded objects on it."""
    rng = np.random.default_rng(seed)
    fy = np.fft.fftfreq(height)[:, None]
    fx = np.fft.rfftfreq(width)[None, :]
    radius = np.sqrt(fx * fx + fy * fy)
    radius[0, 0] = 1.0
    spectrum = (rng.standard_normal(radius.shape) + 1j * rng.standard_normal(radius.shape)) / radius ** 1.6
    spectrum[0, 0] = 0
    field = np.fft.irfft2(spectrum, s=(height, width))
    field /= field.std()
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    for _ in range(24):
        cy, cx = rng.uniform(0, height), rng.uniform(0, width)
        r = rng.uniform(0.03, 0.15) * min(height, width)
        shade = rng.uniform(-2.5, 2.5)
        disc = ((yy - cy) ** 2 + (xx - cx) ** 2) < r * r
        field[disc] = field[disc] * 0.3 + shade + (yy[disc] - cy) / r * 0.4
    return _to_uint8(field)


def smooth(height, width, seed=0):
    """A smooth image: a few broad Gaussian hills over a gentle slope."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float64)
    yy /= max(height, 1)
    xx /= max(width, 1)
    field = 0.5 * xx + 0.3 * yy
    for _ in range(6):
        cy, cx, s = rng.uniform(0, 1), rng.uniform(0, 1), rng.uniform(0.1, 0.3)
        field += rng.uniform(-1, 1) * np.exp(-((yy - cy) ** 2 + (xx - cx) ** 2) / (2 * s * s))
    return _to_uint8(field)


def noise(height, width, seed=0):
    """Independent uniform grey levels."""
    return np.random.default_rng(seed).integers(0, 256, size=(height, width), dtype=np.uint8)
