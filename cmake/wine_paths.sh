# Sourced: Wine's own loader per architecture, and its server. The loaders are called directly
# rather than through the `wine` launcher, which picks the 32-bit one for every prefix wherever
# wine32 is installed, also on a machine that cannot run it. One server (the 64-bit one where
# it is installed, as the `wineserver` launcher also picks) serves both architectures.
wine32_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64
wine_server=/usr/lib/wine/wineserver64
[ -x "$wine_server" ] || wine_server=/usr/lib/wine/wineserver32
