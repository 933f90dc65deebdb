"""cupyx.scipy of the numpy-backed stand-in."""
