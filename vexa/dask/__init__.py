"""Connected filters of images too large for memory: chunked dask arrays.

The functions of this module take a 2-D or 3-D ``dask.array.Array`` and
return a lazy one with the same chunks, whose pixels equal those of their
namesakes in :mod:`vexa.morphology` for every chunking::

    import dask.array as da
    import vexa.dask

    volume = da.from_zarr("scan.zarr")                  # e.g. (2000, 4096, 4096) uint16
    opened = vexa.dask.area_opening(volume, 500, connectivity=1)
    opened.to_zarr("opened.zarr")                        # computed chunk by chunk

``area_opening``, ``area_closing``, ``diameter_opening``,
``diameter_closing``, ``volume_opening``, ``volume_closing``,
``contrast_opening``, ``contrast_closing``, ``attribute_filter`` (attributes
by name; max-trees and min-trees; the direct, min and max rules) and
``max_tree_local_maxima`` take the same arguments and defaults as the
in-memory functions. Every dtype :func:`vexa.max_tree` takes, chunks of any
regular shape (down to one pixel wide), connectivity 1 to ``ndim``. The
graph runs on dask's threaded scheduler or on a ``dask.distributed`` cluster
(everything a task returns pickles).

How it works
------------
No task holds more than one chunk, or the boundary trees of two adjacent
boxes of chunks (a distributed component forest, after Gazagnes and
Wilkinson, IEEE TIP 2021):

1. each chunk's max-tree (min-tree) is built, one thread per task; its
   *boundary tree* keeps only the nodes of the pixels on its faces shared
   with other chunks, and their ancestors, with mergeable accumulators (area,
   sum of levels, level range, bounding box); every other node is final;
2. boundary trees of adjacent boxes merge pairwise, along the axis with the
   most boxes, up to the whole image: the merged tree is the component tree
   of the graph of both trees' nodes, joined by their parent edges and by
   the neighbouring pixels across the shared face;
3. the final values (output level, whether all ancestors pass for the min
   rule) come down the same merges to the chunks, which rebuild their trees
   and write their output.

The boundary tree of a chunk is bounded by its face pixels times the depth
of their ancestor chains, and the chains share their nodes. With 8- and
16-bit levels the depth is at most the number of levels. With wide integers
and floats (up to a node per pixel) it stays bounded because only the
ancestors of face pixels are kept, never the other nodes of the chunk, and
every node is kept once however many face pixels lie below it: at most the
chunk's own node count, and far fewer when the faces see a few tall chains
(on smooth float noise, about half of a chunk's nodes; quantising the levels
shrinks it most). Merges keep only the nodes that still touch an open face,
so a merged boundary tree grows with the faces of its box, not with its
volume. The input chunks stay in memory (spread over the workers) until
their output is written; each task builds its chunk's tree with one thread.

Exceptions to bit-exactness
---------------------------
``max_tree_local_maxima`` finds the maxima of the in-memory function, but
numbers them box by box in the order of the reduction tree (the chunks and
merges where each maximum is completed), and within a box by descending
level, then by descending largest linear index of their pixels: the
numbering depends on the chunking, the label images agree up to a
one-to-one relabelling. Sums of float levels (``volume``, ``mean_level``)
are added in another order than in memory and may differ in the last bit.
"""
from ._filters import (area_closing, area_opening, attribute_filter, contrast_closing, contrast_opening,
                       diameter_closing, diameter_opening, max_tree_local_maxima, volume_closing,
                       volume_opening)

__all__ = ["area_opening", "area_closing", "diameter_opening", "diameter_closing", "volume_opening",
           "volume_closing", "contrast_opening", "contrast_closing", "attribute_filter",
           "max_tree_local_maxima"]
