"""Reading and writing images (through Pillow), the bundled default image,
and synthetic test images (photo-like, smooth, noise)."""
import os
from typing import Union

import numpy as np
from PIL import Image

PathLike = Union[str, "os.PathLike[str]"]

DEFAULT_IMAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "landscape.png")


def read_image(path: PathLike, as_gray: bool = False) -> np.ndarray:
    """Read an image file in any format Pillow knows (PNG, PGM, TIFF, JPEG...).

    Parameters
    ----------
    path : str or path-like
        The file to read.
    as_gray : bool, optional
        Convert a colour image to 8-bit grey levels (ITU-R 601-2 luma).

    Returns
    -------
    ndarray
        Grey-level files give a 2-D array of their own depth (uint8, uint16,
        int32 or float32); colour files an (H, W, 3) or (H, W, 4) uint8 array
        unless ``as_gray``.
    """
    with Image.open(path) as picture:
        if as_gray and picture.mode not in ("L", "I;16", "I", "F"):
            picture = picture.convert("L")
        return np.array(picture)


def write_image(path: PathLike, image: np.ndarray) -> None:
    """Write a 2-D grey-level (or (H, W, 3) colour) array to an image file
    whose format is chosen by the file name's extension."""
    Image.fromarray(np.ascontiguousarray(image)).save(path)


def _grey8(image, path) -> np.ndarray:
    image = np.asarray(image)
    if image.ndim != 2 or image.dtype != np.uint8:
        raise ValueError(f"{path}: expected a 2-D uint8 image, got shape {image.shape} and dtype {image.dtype}")
    return image


def read_pgm(path: PathLike) -> np.ndarray:
    """Read an 8-bit grey-level PGM file (or any 8-bit grey file) into a 2-D
    uint8 array."""
    return _grey8(read_image(path), path)


def write_pgm(path: PathLike, image: np.ndarray) -> None:
    """Write a 2-D uint8 array as a binary PGM file."""
    Image.fromarray(np.ascontiguousarray(_grey8(image, path))).save(path, format="PPM")


def write_png(path: PathLike, image: np.ndarray) -> None:
    """Write a 2-D uint8 array as a grey-level PNG file."""
    Image.fromarray(np.ascontiguousarray(_grey8(image, path))).save(path, format="PNG")


def default_image() -> np.ndarray:
    """The bundled 512 x 512 grey-level test image (shaded discs over a cloudy
    texture), uint8."""
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
