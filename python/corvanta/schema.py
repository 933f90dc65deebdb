"""The face record that the detector builds."""


class CorvantaFace:
    """One detected face: its box, score, five landmarks, aligned crop and crop matrix."""

    __slots__ = ("bbox", "score", "kps", "image", "matrix")

    def __init__(self, *, bbox, score, kps, image, matrix):
        self.bbox = bbox
        self.score = score
        self.kps = kps
        self.image = image
        self.matrix = matrix

    def __repr__(self):
        return "CorvantaFace(bbox=%r, score=%r)" % (self.bbox, self.score)
