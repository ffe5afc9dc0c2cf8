Attribute VB_Name = "dap32"
' The dap32 API for VB6 and VBA: a Declare per export of the plain-name DLL, the
' constants, and helpers that return the text of output buffers as Strings.
' Written by bindings/generate.py from bindings/dap32.toml; edit those, not this file.
' VBA7 (Office 2010 and later, 32 or 64 bits) takes the PtrSafe block; 64-bit Office
' loads the 64-bit dap32.dll. Every value stays a 32-bit Long in both.
Option Explicit

Public Const DAP32_ERROR_BASE As Long = vbObjectError + 512

' Error codes; Windows Sockets errors come through negated (-10004 to -11004)
Public Const DAP_ERR_SOCKET_CLOSED As Long = -1
Public Const DAP_ERR_ALREADY_ATTACHED As Long = -3
Public Const DAP_ERR_BAD_STATUS_FLAG As Long = -4
Public Const DAP_ERR_NO_MEMORY As Long = -5
Public Const DAP_ERR_CANNOT_COMPLY As Long = -6
Public Const DAP_ERR_CANNOT_CREATE_SOCKET As Long = -7
Public Const DAP_ERR_CHANNEL_RANGE As Long = -8
Public Const DAP_ERR_CONNECT As Long = -9
Public Const DAP_ERR_INVALID_SOCKET As Long = -10
Public Const DAP_ERR_WINSOCK_BLOCKING As Long = -11
Public Const DAP_ERR_NO_HOST_NAME As Long = -12
Public Const DAP_ERR_NO_SERVER As Long = -13
Public Const DAP_ERR_NO_SOCKADDR As Long = -14
Public Const DAP_ERR_NOT_ATTACHED As Long = -15
Public Const DAP_ERR_ILLEGAL_SERVER_NAME As Long = -16
Public Const DAP_ERR_NO_PASSWORD As Long = -17
Public Const DAP_ERR_SERVER_REFUSED As Long = -18
Public Const DAP_ERR_NO_SERVER_NAME As Long = -19
Public Const DAP_ERR_SOCKET_READ As Long = -20
Public Const DAP_ERR_SEND_FAILED As Long = -21
Public Const DAP_ERR_TIMED_OUT As Long = -22
Public Const DAP_ERR_NO_USER As Long = -23
Public Const DAP_ERR_BAD_MODE As Long = -24
Public Const DAP_ERR_LISTEN As Long = -25
Public Const DAP_ERR_NO_LISTENER_RESPONSE As Long = -26
Public Const DAP_ERR_ACCEPT_TIMED_OUT As Long = -27
Public Const DAP_ERR_CANNOT_OPEN_FILE As Long = -28
Public Const DAP_ERR_FILE_WRITE As Long = -29
Public Const DAP_ERR_NO_PASV_PORT As Long = -30
Public Const DAP_ERR_NOT_COMPLETED As Long = -31
Public Const DAP_ERR_TLS_HANDSHAKE As Long = -32
Public Const DAP_ERR_TLS_CERTIFICATE As Long = -33
Public Const DAP_ERR_TLS_REFUSED As Long = -34
Public Const DAP_ERR_TLS_UNAVAILABLE As Long = -35

' dapGetInteger codes
Public Const DAP_GET_STEP_COUNT As Long = 2
Public Const DAP_GET_SERVER_CODE As Long = 3
Public Const DAP_GET_SOCKET_CODE As Long = 4
Public Const DAP_GET_BYTES_RECEIVED As Long = 10
Public Const DAP_GET_TOTAL_BYTES_RECEIVED As Long = 11
Public Const DAP_GET_BYTES_SENT As Long = 12
Public Const DAP_GET_TOTAL_BYTES_SENT As Long = 13
Public Const DAP_GET_CONTROL_SOCKET As Long = 14
Public Const DAP_GET_CONNECTED As Long = 15
Public Const DAP_GET_TLS_ACTIVE As Long = 16
Public Const DAP_GET_TLS_DATA_RESUMED As Long = 17
Public Const DAP_GET_VERSION As Long = 20
Public Const DAP_GET_BUILD As Long = 21

' dapSetInteger codes
Public Const DAP_SET_CONNECT_TIMEOUT As Long = 1
Public Const DAP_SET_COMMAND_DELAY As Long = 2
Public Const DAP_SET_REPLY_TIMEOUT As Long = 3
Public Const DAP_SET_BLOCK_DELAY As Long = 4
Public Const DAP_SET_SPARE As Long = 5
Public Const DAP_SET_AUTO_CALL As Long = 6
Public Const DAP_SET_POLL_SLEEP As Long = 8
Public Const DAP_SET_SERVER_PORT As Long = 9
Public Const DAP_SET_FINAL_BLOCK_DELAY As Long = 10
Public Const DAP_SET_UPLOAD_BLOCK_SIZE As Long = 11
Public Const DAP_SET_PASSIVE As Long = 12
Public Const DAP_SET_CLOSE_PAUSE As Long = 13
Public Const DAP_SET_TRANSFER_CHUNK As Long = 14
Public Const DAP_SET_TLS As Long = 15
Public Const DAP_SET_TLS_VERIFY As Long = 16
Public Const DAP_SET_TLS_DATA As Long = 17
Public Const DAP_SET_RESUME As Long = 18
Public Const DAP_SET_UTF8 As Long = 19

' dapGetString and dapSetString codes
Public Const DAP_STR_SERVER_IP As Long = 19
Public Const DAP_STR_LOG_OPEN As Long = 20
Public Const DAP_STR_LOG_WRITE As Long = 21
Public Const DAP_STR_TLS_PIN As Long = 22
Public Const DAP_STR_TLS_CA_FILE As Long = 23
Public Const DAP_STR_TLS_PEER_FINGERPRINT As Long = 24
Public Const DAP_STR_TLS_SESSION As Long = 25

' dapGetList types
Public Const DAP_LIST_FULL As Long = 0
Public Const DAP_LIST_NAMES As Long = 1
Public Const DAP_LIST_FULL_PATTERN As Long = 2
Public Const DAP_LIST_NAMES_PATTERN As Long = 3
Public Const DAP_LIST_MACHINE As Long = 4
Public Const DAP_LIST_MACHINE_PATH As Long = 5

' dapDriver result
Public Const DAP_DRIVER_WAITING As Long = 9999

#If VBA7 Then
Public Declare PtrSafe Function dapAttach Lib "dap32.dll" (ByVal count As Long, ByVal attachValue As Long) As Long
Public Declare PtrSafe Function dapRelease Lib "dap32.dll" () As Long
Public Declare PtrSafe Function dapDriver Lib "dap32.dll" (ByVal chan As Long) As Long
Public Declare PtrSafe Function dapConnect Lib "dap32.dll" (ByVal chan As Long, ByVal server As String, ByVal user As String, ByVal password As String) As Long
Public Declare PtrSafe Function dapClose Lib "dap32.dll" (ByVal chan As Long) As Long
Public Declare PtrSafe Function dapAbort Lib "dap32.dll" (ByVal chan As Long) As Long
Public Declare PtrSafe Function dapGetFile Lib "dap32.dll" (ByVal chan As Long, ByVal fileName As String) As Long
Public Declare PtrSafe Function dapPutFile Lib "dap32.dll" (ByVal chan As Long, ByVal fileName As String) As Long
Public Declare PtrSafe Function dapGetList Lib "dap32.dll" (ByVal chan As Long, ByVal listType As Long, ByVal buffer As String, ByVal size As Long) As Long
Public Declare PtrSafe Function dapSetMode Lib "dap32.dll" (ByVal chan As Long, ByVal mode As Long) As Long
Public Declare PtrSafe Function dapSetServerDir Lib "dap32.dll" (ByVal chan As Long, ByVal directory As String) As Long
Public Declare PtrSafe Function dapGetServerDir Lib "dap32.dll" (ByVal chan As Long, ByVal buffer As String, ByVal size As Long) As Long
Public Declare PtrSafe Function dapDelFile Lib "dap32.dll" (ByVal chan As Long, ByVal fileName As String) As Long
Public Declare PtrSafe Function dapMakeServerDir Lib "dap32.dll" (ByVal chan As Long, ByVal fileName As String) As Long
Public Declare PtrSafe Function dapDelServerDir Lib "dap32.dll" (ByVal chan As Long, ByVal fileName As String) As Long
Public Declare PtrSafe Function dapCommand Lib "dap32.dll" (ByVal chan As Long, ByVal commandText As String, ByVal buffer As String, ByVal size As Long) As Long
Public Declare PtrSafe Function dapGetLocalDir Lib "dap32.dll" (ByVal chan As Long, ByVal buffer As String, ByVal size As Long) As Long
Public Declare PtrSafe Function dapSetLocalDir Lib "dap32.dll" (ByVal chan As Long, ByVal directory As String) As Long
Public Declare PtrSafe Function dapGetInteger Lib "dap32.dll" (ByVal chan As Long, ByVal code As Long) As Long
Public Declare PtrSafe Function dapSetInteger Lib "dap32.dll" (ByVal chan As Long, ByVal code As Long, ByVal value As Long) As Long
Public Declare PtrSafe Function dapGetString Lib "dap32.dll" (ByVal chan As Long, ByVal code As Long, ByVal buffer As String, ByVal size As Long) As Long
Public Declare PtrSafe Function dapSetString Lib "dap32.dll" (ByVal chan As Long, ByVal code As Long, ByVal text As String) As Long
Public Declare PtrSafe Function dapErrorText Lib "dap32.dll" (ByVal chan As Long, ByVal code As Long, ByVal buffer As String, ByVal size As Long) As Long
Public Declare PtrSafe Function dapDebug Lib "dap32.dll" (ByVal chan As Long, ByVal unused1 As Long, ByVal unused2 As Long, ByVal unused3 As Long) As Long
Public Declare PtrSafe Function dapExtract Lib "dap32.dll" (ByVal text As String, ByVal lineNumber As Long, ByVal fieldNumber As Long, ByVal buffer As String, ByVal size As Long) As Long
#Else
Public Declare Function dapAttach Lib "dap32.dll" (ByVal count As Long, ByVal attachValue As Long) As Long
Public Declare Function dapRelease Lib "dap32.dll" () As Long
Public Declare Function dapDriver Lib "dap32.dll" (ByVal chan As Long) As Long
Public Declare Function dapConnect Lib "dap32.dll" (ByVal chan As Long, ByVal server As String, ByVal user As String, ByVal password As String) As Long
Public Declare Function dapClose Lib "dap32.dll" (ByVal chan As Long) As Long
Public Declare Function dapAbort Lib "dap32.dll" (ByVal chan As Long) As Long
Public Declare Function dapGetFile Lib "dap32.dll" (ByVal chan As Long, ByVal fileName As String) As Long
Public Declare Function dapPutFile Lib "dap32.dll" (ByVal chan As Long, ByVal fileName As String) As Long
Public Declare Function dapGetList Lib "dap32.dll" (ByVal chan As Long, ByVal listType As Long, ByVal buffer As String, ByVal size As Long) As Long
Public Declare Function dapSetMode Lib "dap32.dll" (ByVal chan As Long, ByVal mode As Long) As Long
Public Declare Function dapSetServerDir Lib "dap32.dll" (ByVal chan As Long, ByVal directory As String) As Long
Public Declare Function dapGetServerDir Lib "dap32.dll" (ByVal chan As Long, ByVal buffer As String, ByVal size As Long) As Long
Public Declare Function dapDelFile Lib "dap32.dll" (ByVal chan As Long, ByVal fileName As String) As Long
Public Declare Function dapMakeServerDir Lib "dap32.dll" (ByVal chan As Long, ByVal fileName As String) As Long
Public Declare Function dapDelServerDir Lib "dap32.dll" (ByVal chan As Long, ByVal fileName As String) As Long
Public Declare Function dapCommand Lib "dap32.dll" (ByVal chan As Long, ByVal commandText As String, ByVal buffer As String, ByVal size As Long) As Long
Public Declare Function dapGetLocalDir Lib "dap32.dll" (ByVal chan As Long, ByVal buffer As String, ByVal size As Long) As Long
Public Declare Function dapSetLocalDir Lib "dap32.dll" (ByVal chan As Long, ByVal directory As String) As Long
Public Declare Function dapGetInteger Lib "dap32.dll" (ByVal chan As Long, ByVal code As Long) As Long
Public Declare Function dapSetInteger Lib "dap32.dll" (ByVal chan As Long, ByVal code As Long, ByVal value As Long) As Long
Public Declare Function dapGetString Lib "dap32.dll" (ByVal chan As Long, ByVal code As Long, ByVal buffer As String, ByVal size As Long) As Long
Public Declare Function dapSetString Lib "dap32.dll" (ByVal chan As Long, ByVal code As Long, ByVal text As String) As Long
Public Declare Function dapErrorText Lib "dap32.dll" (ByVal chan As Long, ByVal code As Long, ByVal buffer As String, ByVal size As Long) As Long
Public Declare Function dapDebug Lib "dap32.dll" (ByVal chan As Long, ByVal unused1 As Long, ByVal unused2 As Long, ByVal unused3 As Long) As Long
Public Declare Function dapExtract Lib "dap32.dll" (ByVal text As String, ByVal lineNumber As Long, ByVal fieldNumber As Long, ByVal buffer As String, ByVal size As Long) As Long
#End If

' dapGetList, its text returned as a String; a failure raises a VB error. At most 65536 bytes; call dapGetList itself for more.
Public Function Dap32GetList(ByVal chan As Long, ByVal listType As Long, Optional ByVal pattern As String = "") As String
    Dim buffer As String, result As Long
    buffer = pattern & vbNullChar & Space$(65536)
    result = dapGetList(chan, listType, buffer, Len(buffer))
    If result < 0 Then Dap32Raise chan, result
    Dap32GetList = Left$(buffer, result)
End Function

' dapGetServerDir, its text returned as a String; a failure raises a VB error.
Public Function Dap32GetServerDir(ByVal chan As Long) As String
    Dim buffer As String, result As Long
    buffer = Space$(2048)
    result = dapGetServerDir(chan, buffer, Len(buffer) - 1)
    If result < 0 Then Dap32Raise chan, result
    Dap32GetServerDir = Dap32Trim(buffer)
End Function

' dapCommand, its text returned as a String; a failure raises a VB error.
Public Function Dap32Command(ByVal chan As Long, ByVal commandText As String) As String
    Dim buffer As String, result As Long
    buffer = Space$(2048)
    result = dapCommand(chan, commandText, buffer, Len(buffer))
    If result < 0 Then Dap32Raise chan, result
    Dap32Command = Dap32Trim(buffer)
End Function

' dapGetLocalDir, its text returned as a String; a failure raises a VB error.
Public Function Dap32GetLocalDir(ByVal chan As Long) As String
    Dim buffer As String, result As Long
    buffer = Space$(2048)
    result = dapGetLocalDir(chan, buffer, Len(buffer) - 1)
    If result < 0 Then Dap32Raise chan, result
    Dap32GetLocalDir = Dap32Trim(buffer)
End Function

' dapGetString, its text returned as a String; a failure raises a VB error.
Public Function Dap32GetString(ByVal chan As Long, ByVal code As Long) As String
    Dim buffer As String, result As Long
    buffer = Space$(2048)
    result = dapGetString(chan, code, buffer, Len(buffer))
    If result < 0 Then Dap32Raise chan, result
    Dap32GetString = Dap32Trim(buffer)
End Function

' dapErrorText, its text returned as a String; a failure raises a VB error.
Public Function Dap32ErrorText(ByVal chan As Long, ByVal code As Long) As String
    Dim buffer As String, result As Long
    buffer = Space$(2048)
    result = dapErrorText(chan, code, buffer, Len(buffer))
    If result < 0 Then Dap32Raise chan, result
    Dap32ErrorText = Dap32Trim(buffer)
End Function

' dapExtract, its text returned as a String; a failure raises a VB error.
Public Function Dap32Extract(ByVal text As String, ByVal lineNumber As Long, ByVal fieldNumber As Long) As String
    Dim buffer As String, result As Long
    buffer = Space$(2048)
    result = dapExtract(text, lineNumber, fieldNumber, buffer, Len(buffer) - 1)
    Dap32Extract = Dap32Trim(buffer)
End Function

' Raises a failure as a VB error: Err.Number - DAP32_ERROR_BASE is the negated code and
' Err.Description its text, with the server's reply after a refusal.
Public Sub Dap32Raise(ByVal chan As Long, ByVal code As Long)
    Dim buffer As String, text As String
    buffer = Space$(2048)
    If dapErrorText(chan, code, buffer, Len(buffer)) > 0 Then
        text = Dap32Trim(buffer)
    Else
        text = "dap32 error " & code
    End If
    Err.Raise DAP32_ERROR_BASE - code, "dap32", text
End Sub

' Passes a result on, raising it as a VB error when it is a negative code.
Public Function Dap32Check(ByVal chan As Long, ByVal result As Long) As Long
    If result < 0 Then Dap32Raise chan, result
    Dap32Check = result
End Function

' The text before the first NUL of a buffer the library has written.
Public Function Dap32Trim(ByVal buffer As String) As String
    Dim nul As Long
    nul = InStr(buffer, vbNullChar)
    If nul > 0 Then Dap32Trim = Left$(buffer, nul - 1) Else Dap32Trim = buffer
End Function
