# ORVELLE GAME SUPPORT setup script (frame being written)
