#!/usr/bin/python3
"""Prints the password of the channel archive "cfg:/channels.zip" for a unit's EPK text.

A unit reads only an archive made with its EPK's password, for example
    7zz a -tzip -mem=AES128 -mm=Deflate -p"$(channels_password.py "$EPK")" channels.zip list.xml
The unit logs its EPK at start ("apalInit() success! EPKID: ...").
"""
import argparse
import hashlib
import hmac

KEY = bytes([0x4B, 0x56, 0x58, 0x32, 0x9E, 0x31, 0x07, 0xC4, 0x5A, 0xD2, 0x68, 0x1F, 0xB3, 0x76, 0xE0, 0x2D])
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"


def password(epk):
    digest = hmac.new(KEY, epk.encode()[:32], hashlib.sha1).digest()
    return "".join(ALPHABET[b & 63] for b in digest[:16])


if __name__ == "__main__":
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("epk", metavar="EPK", help='the EPK text (after "--" when it starts with "-")')
    args = ap.parse_args()
    if not args.epk:
        ap.error("the EPK is empty")
    print(password(args.epk))
