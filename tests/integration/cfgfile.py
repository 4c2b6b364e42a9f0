"""Reads and writes the binary configuration file format, independently of the server's own code.

version (u32 = 1) | count (u32) | records; record = key length (u32) | key | VARTYPE (u16) | value.
Fixed-size values are little-endian; texts are a u32 byte count (terminator included) and UTF-16LE.
"""
import struct

VT_EMPTY, VT_I2, VT_I4, VT_R8, VT_DATE, VT_BSTR, VT_BOOL, VT_UI2 = 0, 2, 3, 5, 7, 8, 11, 18

_FIXED = {2: "<h", 3: "<i", 4: "<f", 5: "<d", 6: "<q", 7: "<d", 10: "<i", 11: "<h", 16: "<b", 17: "<B",
          18: "<H", 19: "<I", 20: "<q", 21: "<Q", 22: "<i", 23: "<I"}


def encode(records, version=1):
    """records: list of (key, vartype, value); value None for VT_EMPTY grouping nodes."""
    out = struct.pack("<II", version, len(records))
    for key, vartype, value in records:
        raw_key = key.encode("utf-8")
        out += struct.pack("<I", len(raw_key)) + raw_key + struct.pack("<H", vartype)
        if vartype in _FIXED:
            out += struct.pack(_FIXED[vartype], value)
        else:
            text = ("" if value is None else str(value)).encode("utf-16-le") + b"\0\0"
            out += struct.pack("<I", len(text)) + text
    return out


def decode(data):
    version, count = struct.unpack_from("<II", data, 0)
    if version != 1:
        raise ValueError("version %d" % version)
    pos, records = 8, []
    for _ in range(count):
        (length,) = struct.unpack_from("<I", data, pos)
        pos += 4
        key = data[pos:pos + length].decode("utf-8")
        pos += length
        (vartype,) = struct.unpack_from("<H", data, pos)
        pos += 2
        if vartype in _FIXED:
            fmt = _FIXED[vartype]
            (value,) = struct.unpack_from(fmt, data, pos)
            pos += struct.calcsize(fmt)
        else:
            (size,) = struct.unpack_from("<I", data, pos)
            pos += 4
            value = data[pos:pos + size].decode("utf-16-le").rstrip("\0") if size else None
            pos += size
            if vartype == VT_EMPTY:
                value = None
        records.append((key, vartype, value))
    if pos != len(data):
        raise ValueError("%d bytes after the last record" % (len(data) - pos))
    return records


def _listener(name, port, pop3auth=False):
    base = "sys:%s:0" % name
    records = [("sys:" + name, VT_EMPTY, None), (base, VT_EMPTY, None),
               (base + ":enabled", VT_I2, -1), (base + ":ip", VT_I4, 0),
               (base + ":port", VT_UI2, ((port & 0xFF) << 8) | (port >> 8)), (base + ":timeout", VT_I4, 360)]
    if pop3auth:
        records.append((base + ":pop3auth", VT_I2, -1))
    return records


def _implicit_tls(name, port, submission=False):
    """Instance 1 of a protocol: implicit TLS on its port, off until a certificate is configured."""
    base = "sys:%s:1" % name
    records = [(base, VT_EMPTY, None), (base + ":enabled", VT_I2, 0), (base + ":ip", VT_I4, 0),
               (base + ":port", VT_UI2, ((port & 0xFF) << 8) | (port >> 8)), (base + ":timeout", VT_I4, 360), (base + ":ssl", VT_I2, -1)]
    if submission:
        records += [(base + ":smtpauth", VT_I2, -1), (base + ":smtpauthrequired", VT_I2, -1)]
    return records


# What a new store's first stop writes: every default in its place, grouping nodes included.
DEFAULTS = ([("sys", VT_EMPTY, None)] + _listener("smtp", 25, pop3auth=True) + _implicit_tls("smtp", 465, submission=True)
            + _listener("pop3", 110) + _implicit_tls("pop3", 995) + _listener("imap4", 143) + _implicit_tls("imap4", 993)
            + [("sys:public", VT_EMPTY, None), ("sys:public:prefix", VT_BSTR, "Public Folders")])


def decode_envelope(data):
    """An ".env" record: the property tree, then a u32 recipient count and per recipient a u32 byte
    count (terminator included) and UTF-16LE text. Returns (records, recipients)."""
    (count,) = struct.unpack_from("<I", data, 4)
    end = 8
    for _ in range(count):  # only finds where the tree ends; decode() reads it
        (length,) = struct.unpack_from("<I", data, end)
        (vartype,) = struct.unpack_from("<H", data, end + 4 + length)
        end += 6 + length
        end += struct.calcsize(_FIXED[vartype]) if vartype in _FIXED else 4 + struct.unpack_from("<I", data, end)[0]
    (count,) = struct.unpack_from("<I", data, end)
    pos, recipients = end + 4, []
    for _ in range(count):
        (size,) = struct.unpack_from("<I", data, pos)
        recipients.append(data[pos + 4:pos + 4 + size].decode("utf-16-le").rstrip("\0"))
        pos += 4 + size
    if pos != len(data):
        raise ValueError("%d bytes after the last recipient" % (len(data) - pos))
    return decode(data[:end]), recipients
