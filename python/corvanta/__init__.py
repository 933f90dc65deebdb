"""corvanta: GPU face processing for Python hosts.

Modules (each a native extension, imported by name):
  corvanta.detection     faces, landmarks and aligned crops
  corvanta.idmap         the identity-projection matrix file
  corvanta.embedding     identity latents
  corvanta.swap          face swap
  corvanta.paste         paste-back compositing
  corvanta.segmentation  face parsing masks
  corvanta.enhance       face restoration
  corvanta.facewarp      FFHQ-style alignment
  corvanta.analysis      gender and age
"""
