"""dap32 for Python: the FTP client library through ctypes.

Two layers: dap32.native mirrors the 25 exports one to one, and dap32.Session offers them in
the manner of ftplib, with exceptions instead of result codes:

    with dap32.Session("127.0.0.1", "user", "secret") as ftp:
        ftp.put("report.pdf")
        print(ftp.nlst())
"""

from ._api import VERSION, BUILD
from .session import ConnectError, Entry, Error, ServerError, Session, Timeout

__all__ = ["ConnectError", "Entry", "Error", "ServerError", "Session", "Timeout", "VERSION",
           "BUILD"]
