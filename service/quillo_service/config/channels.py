"""[channels] and default_channel: where each channel's installer is."""

from .checks import NAME_RE, ConfigError, address


def parse_channels(data, p):
    """(channels as a dict name -> address, default_channel)."""
    channels = data.get("channels")
    if not isinstance(channels, dict) or not channels:
        raise ConfigError(f"{p}: [channels] must name at least one channel")
    for name, value in channels.items():
        if not NAME_RE.match(name):
            raise ConfigError(f"{p}: channel name {name!r:.80} is not printable ASCII")
        address(value, f"{p}: channels.{name}")
    default_channel = data.get("default_channel")
    if default_channel is None:
        raise ConfigError(f"{p}: default_channel is missing (put it before the first table)")
    if default_channel not in channels:
        raise ConfigError(f"{p}: default_channel {default_channel!r:.80} is not a channel")
    return dict(channels), default_channel
