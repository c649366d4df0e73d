"""Offline VIN decoding over the NHTSA vPIC catalogue.

All vehicle data is embedded in the native module; nothing is read from disk
or the network. See `decode` for a single VIN and `decode_batch_json` for
large batches.
"""

from . import _tamberok
from ._tamberok import *  # noqa: F401,F403

__all__ = list(_tamberok.__all__)
__version__ = _tamberok.__version__
