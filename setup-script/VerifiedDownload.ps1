## Verified Microsoft download: fetches an installer only from Microsoft's hosts, with
## retries that tell failures apart, showing its progress and giving up a transfer that
## stalls, and accepts it only with Microsoft's own Authenticode signature; knows the
## published builds of the fixed-version files and notes an unknown one. Uses the process
## runner's clock and slices, the output and the state (ToolVersion).

#region Verified Microsoft download

# The only hosts installers are fetched from, compared exactly (no sub-domains): the
# short-link host, the forwarding-link host, the Download Center and the Visual Studio
# download host.
$script:AllowedDownloadHosts = @('aka.ms', 'go.microsoft.com', 'download.microsoft.com', 'download.visualstudio.microsoft.com')
# Organisation (O=) that the signer certificate's subject must name.
$script:TrustedSignerOrganization = 'Microsoft Corporation'
$script:DownloadAttempts = 3
$script:BitsTransferDescription = 'ORVELLE prerequisite'

# Splits a certificate subject such as 'CN=Microsoft Corporation, O="Contoso, Ltd.", C=US'
# into fields with Type and Value. Fields end at ",", ";" or "+"; inside double quotes
# these are part of the value and "" or \" stand for a quote; outside quotes a backslash
# takes the next character literally. Returns no fields when a quote is left open, so a
# malformed subject never passes for a valid one.
function ConvertFrom-DistinguishedName {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Name)
    $fields = New-Object System.Collections.Generic.List[object]
    $type = New-Object System.Text.StringBuilder
    $value = New-Object System.Text.StringBuilder
    $inValue = $false
    $inQuotes = $false
    $wasQuoted = $false
    $last = $Name.Length - 1
    for ($index = 0; $index -le $last; $index++) {
        $char = $Name[$index]
        if ($inQuotes) {
            if ($char -eq '"' -and $index -lt $last -and $Name[$index + 1] -eq '"') {
                [void]$value.Append('"')
                $index++
            } elseif ($char -eq '\' -and $index -lt $last) {
                [void]$value.Append($Name[$index + 1])
                $index++
            } elseif ($char -eq '"') {
                $inQuotes = $false
            } else {
                [void]$value.Append($char)
            }
            continue
        }
        if ($char -eq ',' -or $char -eq ';' -or $char -eq '+') {
            if ($inValue) {
                $fields.Add((New-DistinguishedNameField -Type $type -Value $value -WasQuoted $wasQuoted))
            }
            [void]$type.Clear()
            [void]$value.Clear()
            $inValue = $false
            $wasQuoted = $false
            continue
        }
        $target = $type
        if ($inValue) {
            $target = $value
        }
        if ($char -eq '\' -and $index -lt $last) {
            [void]$target.Append($Name[$index + 1])
            $index++
        } elseif (-not $inValue -and $char -eq '=') {
            $inValue = $true
        } elseif ($inValue -and -not $wasQuoted -and $char -eq '"' -and $value.ToString().Trim().Length -eq 0) {
            [void]$value.Clear()
            $inQuotes = $true
            $wasQuoted = $true
        } elseif ($wasQuoted -and [char]::IsWhiteSpace($char)) {
            # White space between a closing quote and the next separator.
        } else {
            [void]$target.Append($char)
        }
    }
    if ($inQuotes) {
        return
    }
    if ($inValue) {
        $fields.Add((New-DistinguishedNameField -Type $type -Value $value -WasQuoted $wasQuoted))
    }
    return $fields.ToArray()
}

# One field of a distinguished name; unquoted values lose their surrounding white space.
function New-DistinguishedNameField {
    param($Type, $Value, [bool]$WasQuoted)
    $text = $Value.ToString()
    if (-not $WasQuoted) {
        $text = $text.Trim()
    }
    return [pscustomobject]@{ Type = $Type.ToString().Trim(); Value = $text }
}

# True when the certificate subject names Microsoft Corporation as its organisation: at
# least one O= field, and every O= field equal to it as a whole, letter case ignored.
# "O=Microsoft Corporation Holdings" or "CN=Microsoft Corporation, O=Contoso" do not count.
function Test-MicrosoftSignerSubject {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Subject)
    $organizations = @(ConvertFrom-DistinguishedName -Name $Subject | Where-Object { $_.Type -eq 'O' })
    if ($organizations.Count -eq 0) {
        return $false
    }
    foreach ($organization in $organizations) {
        if (-not [string]::Equals($organization.Value, $script:TrustedSignerOrganization, [StringComparison]::OrdinalIgnoreCase)) {
            return $false
        }
    }
    return $true
}

# The published SHA-256 of each fixed-version file, by download label. Microsoft replaced
# the 2005, 2008 and 2010 packages behind the same links in May 2021 and re-signed the
# DirectX package in February 2021, so a signed file with another hash is still used, but
# the log and the report say so. The moving links (v14, .NET Framework 3.5) are not listed.
# Sources: the winget-pkgs manifests Microsoft.VCRedist.2005.x86 8.0.61001,
# Microsoft.VCRedist.2008.x86 9.0.30729.6161, Microsoft.VCRedist.2010.x86 10.0.40219,
# Microsoft.VCRedist.2012.x86 11.0.61030.0 and Microsoft.VCRedist.2013.x86 12.0.40664.0
# (manifests/m/Microsoft/VCRedist/<year>/x86/<version>/...installer.yaml); for DirectX the
# public install scripts that pin both builds of directx_Jun2010_redist.exe (the re-signed
# build served now) and winetricks' directx_Jun2010 helper and the Chocolatey "directx"
# package script (the original 2010 build).
$script:KnownBuilds = @{
    'Visual C++ 2005 SP1 x86'               = @('8648C5FC29C44B9112FE52F9A33F80E7FC42D10F3B5B42B2121542A13E44ADFD')
    'Visual C++ 2008 SP1 x86'               = @('8742BCBF24EF328A72D2A27B693CC7071E38D3BB4B9B44DEC42AA3D2C8D61D92')
    'Visual C++ 2010 SP1 x86'               = @('99DCE3C841CC6028560830F7866C9CE2928C98CF3256892EF8E6CF755147B0D8')
    'Visual C++ 2012 Update 4 x86'          = @('B924AD8062EAF4E70437C8BE50FA612162795FF0839479546CE907FFA8D6E386')
    'Visual C++ 2013 x86'                   = @('53B605D1100AB0A88B867447BBF9274B5938125024BA01F5105A9E178A3DCDBD')
    'DirectX End-User Runtimes (June 2010)' = @('053F76DCBB28802E23341B6A787E3B0791C0FA5C8D4D011B1044172DBF89C73B', '8746EE1A84A083A90E37899D71D50D5C7C015E69688A466AA80447F011780C0D')
}
# Verified files of this run whose hash is not in the table: Label and Hash.
$script:UnknownBuilds = New-Object System.Collections.Generic.List[object]
$script:UnknownBuildFormat = '{0} is signed by Microsoft but is not a known build (SHA-256 {1}); it is used anyway.'

# The SHA-256 of a file's bytes in upper-case hexadecimal. Throws when the file cannot be read.
function Get-FileSha256 {
    param([Parameter(Mandatory = $true)][string]$Path)
    return (Get-FileHash -LiteralPath $Path -Algorithm SHA256 -ErrorAction Stop).Hash.ToUpperInvariant()
}

# For a verified file of a fixed-version package: when its hash is not a known build of the
# label, logs the WARN line and keeps Label and Hash in UnknownBuilds. Other labels pass.
function Confirm-KnownBuild {
    param(
        [Parameter(Mandatory = $true)][string]$Label,
        [Parameter(Mandatory = $true)][string]$Path
    )
    if (-not $script:KnownBuilds.ContainsKey($Label)) {
        return
    }
    $hash = Get-FileSha256 -Path $Path
    if ($script:KnownBuilds[$Label] -contains $hash) {
        return
    }
    Write-Log -Message ($script:UnknownBuildFormat -f $Label, $hash) -Level WARN
    $script:UnknownBuilds.Add([pscustomobject]@{ Label = $Label; Hash = $hash })
}

# Returns true when the file itself carries a valid Authenticode signature whose signer is
# Microsoft Corporation, after logging the file's SHA-256; throws the security message
# otherwise. A file that is valid only through a Windows catalog is refused: any Windows
# file copied under an installer's name would pass otherwise.
function Test-MicrosoftSignature {
    param([Parameter(Mandatory = $true)][string]$Path)
    $leafName = Split-Path -Path $Path -Leaf
    $signature = Get-AuthenticodeSignature -LiteralPath $Path
    $status = [string]$signature.Status
    $signatureType = ''
    if ($null -ne $signature.PSObject.Properties['SignatureType']) {
        $signatureType = [string]$signature.SignatureType
    }
    $publisher = ''
    if ($null -ne $signature.SignerCertificate) {
        $publisher = [string]$signature.SignerCertificate.Subject
    }
    if ($status -ne 'Valid' -or $signatureType -ne 'Authenticode' -or -not (Test-MicrosoftSignerSubject -Subject $publisher)) {
        throw ('Security check failed for {0}. Signature status: {1}; publisher: {2}' -f $leafName, $status, $publisher)
    }
    $hash = Get-FileSha256 -Path $Path
    Write-Log -Message ('Verified Microsoft signature and SHA-256 for {0}: {1}' -f $leafName, $hash) -Level OK
    return $true
}

# Throws unless the URL can be read, its real host (user information such as
# "download.microsoft.com@" does not count) is one of the allowed Microsoft hosts, and it is
# a plain HTTPS address: the https scheme, the default port and no user information.
function Assert-MicrosoftDownloadHost {
    param([Parameter(Mandatory = $true)][string]$Url)
    $uri = $null
    if (-not [System.Uri]::TryCreate($Url, [System.UriKind]::Absolute, [ref]$uri)) {
        throw ('Blocked download from an unreadable URL: {0}' -f $Url)
    }
    $downloadHost = $uri.Host.ToLowerInvariant()
    if ($script:AllowedDownloadHosts -notcontains $downloadHost) {
        throw ('Blocked non-Microsoft download host: {0}' -f $uri.Host)
    }
    if ($uri.Scheme -ne 'https' -or -not $uri.IsDefaultPort -or -not [string]::IsNullOrEmpty($uri.UserInfo)) {
        throw ('Blocked download that is not a plain HTTPS address: {0}' -f $Url)
    }
}

# Pauses between two download attempts.
function Wait-RetryPause {
    param([Parameter(Mandatory = $true)][int]$Seconds)
    Start-Sleep -Seconds $Seconds
}

# Returns a web client that names this tool and its version in the User-Agent header.
function New-DownloadWebClient {
    $client = New-Object System.Net.WebClient
    $client.Headers['User-Agent'] = 'ORVELLE-Game-Support/' + $script:ToolVersion
    return $client
}

# How a download shows that it moves: a console line about every 10 seconds and a log line
# each minute (its result is logged as before); and when it is given up: no byte for 2
# minutes.
$script:DownloadConsoleSeconds = 10
$script:DownloadLogSeconds = 60
$script:DownloadStallSeconds = 120
$script:DownloadStalledText = 'no data for 2 minutes'
$script:DownloadProgressFormat = 'Downloading {0}: {1} of {2} MB, {3} MB/s'
$script:DownloadProgressUnknownTotalFormat = 'Downloading {0}: {1} MB, {3} MB/s'
$script:DownloadChunkBytes = 65536

# The progress of one transfer of Label, kept by Update-DownloadProgress.
function New-DownloadProgress {
    param([Parameter(Mandatory = $true)][AllowEmptyString()][string]$Label)
    $now = Get-WatchTime
    return [pscustomobject]@{ Label = $Label; Started = $now; Bytes = [long]0; LastMoved = $now; LastConsole = $now; BytesAtConsole = [long]0; LastLog = $now }
}

# Megabytes with one decimal, written the same under every culture.
function Format-Megabytes {
    param([Parameter(Mandatory = $true)][double]$Bytes)
    return ($Bytes / 1MB).ToString('0.0', [Globalization.CultureInfo]::InvariantCulture)
}

# Notes that the transfer has moved Bytes of Total (0: not known yet). About every 10 seconds
# the console shows "Downloading <label>: <done> of <total> MB, <rate> MB/s" (the rate since
# the line before), and each minute the log gets that line. Throws "no data for 2 minutes"
# as a failure of kind Stalled when no byte moved for 2 minutes.
function Update-DownloadProgress {
    param([Parameter(Mandatory = $true)]$Progress, [Parameter(Mandatory = $true)][long]$Bytes, [long]$Total = 0)
    $now = Get-WatchTime
    if ($Bytes -gt $Progress.Bytes) {
        $Progress.Bytes = $Bytes
        $Progress.LastMoved = $now
    } elseif (($now - $Progress.LastMoved).TotalSeconds -ge $script:DownloadStallSeconds) {
        throw (New-RunFailure -Message $script:DownloadStalledText -Kind Stalled)
    }
    $seconds = ($now - $Progress.LastConsole).TotalSeconds
    if ($seconds -lt $script:DownloadConsoleSeconds) {
        return
    }
    $format = $script:DownloadProgressFormat
    if ($Total -le 0) {
        $format = $script:DownloadProgressUnknownTotalFormat
    }
    $line = $format -f $Progress.Label, (Format-Megabytes -Bytes $Bytes), (Format-Megabytes -Bytes $Total), (Format-Megabytes -Bytes (($Bytes - $Progress.BytesAtConsole) / $seconds))
    Write-Host $line -ForegroundColor Gray
    $Progress.LastConsole = $now
    $Progress.BytesAtConsole = $Bytes
    if (($now - $Progress.LastLog).TotalSeconds -ge $script:DownloadLogSeconds) {
        Write-Log -Message $line -Level INFO -LogOnly
        $Progress.LastLog = $now
    }
}

# True when an error is a network read that timed out.
function Test-TimeoutError {
    param([Parameter(Mandatory = $true)]$Cause)
    $exception = $Cause
    if ($Cause -is [System.Management.Automation.ErrorRecord]) { $exception = $Cause.Exception }
    while ($null -ne $exception) {
        if ($exception -is [System.TimeoutException] -or
            ($exception -is [System.Net.WebException] -and $exception.Status -eq [System.Net.WebExceptionStatus]::Timeout) -or
            ($exception -is [System.Net.Sockets.SocketException] -and $exception.SocketErrorCode -eq [System.Net.Sockets.SocketError]::TimedOut)) {
            return $true
        }
        $exception = $exception.InnerException
    }
    return $false
}

# Reads the next chunk of a download into Buffer and returns how many bytes came (0 at the
# end). A read that waited 2 minutes for data throws "no data for 2 minutes" (kind Stalled).
function Read-DownloadChunk {
    param([Parameter(Mandatory = $true)]$Stream, [Parameter(Mandatory = $true)][byte[]]$Buffer)
    try {
        return $Stream.Read($Buffer, 0, $Buffer.Length)
    } catch {
        if (Test-TimeoutError -Cause $_) {
            throw (New-RunFailure -Message $script:DownloadStalledText -Kind Stalled)
        }
        throw
    }
}

# Downloads the URL to the file with the given web client, chunk by chunk so that it shows
# its progress (Update-DownloadProgress); a read waits at most 2 minutes for data.
function Invoke-WebClientDownload {
    param(
        [Parameter(Mandatory = $true)]$Client,
        [Parameter(Mandatory = $true)][string]$Url,
        [Parameter(Mandatory = $true)][string]$Destination,
        [string]$Label = ''
    )
    $progress = New-DownloadProgress -Label $Label
    $stream = $Client.OpenRead($Url)
    try {
        try {
            $stream.ReadTimeout = $script:DownloadStallSeconds * 1000
        } catch {
            # A stream without read time-outs waits as long as the network does.
        }
        $total = [long]0
        $null = [long]::TryParse([string]$Client.ResponseHeaders['Content-Length'], [ref]$total)
        $bytes = [long]0
        $file = New-Object System.IO.FileStream($Destination, [System.IO.FileMode]::CreateNew, [System.IO.FileAccess]::Write, [System.IO.FileShare]::None)
        try {
            $buffer = New-Object byte[] $script:DownloadChunkBytes
            while (($read = Read-DownloadChunk -Stream $stream -Buffer $buffer) -gt 0) {
                $file.Write($buffer, 0, $read)
                $bytes += $read
                Update-DownloadProgress -Progress $progress -Bytes $bytes -Total $total
            }
        } finally {
            $file.Dispose()
        }
    } finally {
        $stream.Dispose()
    }
}

# What a BITS job says of itself: State (its JobState), Bytes transferred, Total (0 while not
# known) and Error (its error description, "" without one).
function Get-BitsJobProgress {
    param([Parameter(Mandatory = $true)]$Job)
    $total = [long]0
    if ([decimal]$Job.BytesTotal -lt [decimal][long]::MaxValue) {
        $total = [long]$Job.BytesTotal
    }
    $errorText = ''
    if ($null -ne $Job.PSObject.Properties['ErrorDescription'] -and $null -ne $Job.ErrorDescription) {
        $errorText = [string]$Job.ErrorDescription
    }
    return [pscustomobject]@{ State = [string]$Job.JobState; Bytes = [long]$Job.BytesTransferred; Total = $total; Error = $errorText }
}

# Transfers the URL to Destination with a background job of the Background Intelligent
# Transfer Service, watched slice by slice: its progress shows (Update-DownloadProgress),
# and a finished job is completed. A job that ends in an error, is cancelled or moves no byte
# for 2 minutes is removed (which cancels it) and throws (a stall as a failure of kind
# Stalled).
function Receive-BitsTransfer {
    param(
        [Parameter(Mandatory = $true)][string]$Url,
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label
    )
    $job = Start-BitsTransfer -Source $Url -Destination $Destination -DisplayName $Label -Description $script:BitsTransferDescription -Asynchronous -ErrorAction Stop
    $progress = New-DownloadProgress -Label $Label
    $completed = $false
    try {
        while ($true) {
            $state = Get-BitsJobProgress -Job $job
            if ($state.State -eq 'Transferred') {
                Complete-BitsTransfer -BitsJob $job -ErrorAction Stop
                $completed = $true
                return
            }
            if ($state.State -eq 'Error' -or $state.State -eq 'Cancelled') {
                throw ('BITS: {0}' -f $state.Error)
            }
            Update-DownloadProgress -Progress $progress -Bytes $state.Bytes -Total $state.Total
            Wait-WatchSlice
        }
    } finally {
        if (-not $completed) {
            Remove-BitsTransfer -BitsJob $job -ErrorAction SilentlyContinue
        }
    }
}

# Fetches the URL to the destination once: through the Background Intelligent Transfer
# Service, or, when BITS is missing or fails, through the web client. A transfer that moves
# no byte for 2 minutes is a failed attempt of its own (kind Stalled). Throws when both fail.
function Save-DownloadFile {
    param(
        [Parameter(Mandatory = $true)][string]$Url,
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label
    )
    try {
        Import-Module BitsTransfer -ErrorAction Stop
        Receive-BitsTransfer -Url $Url -Destination $Destination -Label $Label
        return
    } catch {
        # BITS refuses work without an interactive logon, among other reasons; the web
        # client below is the fallback, and its own error is the one that counts.
        if ((Get-RunFailureDetail -Cause $_).Kind -eq 'Stalled') {
            throw
        }
    }
    $client = New-DownloadWebClient
    try {
        Invoke-WebClientDownload -Client $client -Url $Url -Destination $Destination -Label $Label
    } finally {
        $client.Dispose()
    }
}

# How a failed download is told apart, in the log and in the failure text ({0}: the error's
# own message, {1}: the HTTP status number). A file that fails the signature check keeps the
# security message as it is.
$script:DownloadNetworkFormat = 'no network connection, or the server name could not be resolved ({0})'
$script:DownloadHttpStatusFormat = 'the server answered with HTTP status {1} ({0})'
$script:DownloadEmptyFileText = 'the downloaded file is empty'
$script:DownloadNotExecutableText = 'the downloaded file is not a Windows program (a web page, for example)'
# The first bytes of every Windows program file.
$script:ExecutableSignature = 'MZ'

# The web error behind a failed transfer (the error itself or one it wraps), or $null.
function Get-WebExceptionOf {
    param([Parameter(Mandatory = $true)]$Cause)
    $exception = $Cause
    if ($Cause -is [System.Management.Automation.ErrorRecord]) { $exception = $Cause.Exception }
    while ($null -ne $exception) {
        if ($exception -is [System.Net.WebException]) { return $exception }
        $exception = $exception.InnerException
    }
    return $null
}

# Turns the error of a failed transfer into a failure of kind HttpStatus (the server answered
# with an error status; its number is in the text) or Network (anything else: no network, a
# name that does not resolve, a connection that broke off).
function ConvertTo-DownloadFailure {
    param([Parameter(Mandatory = $true)]$Cause)
    $message = $Cause.Exception.Message
    if ((Get-RunFailureDetail -Cause $Cause).Kind -eq 'Stalled') {
        return $Cause.Exception
    }
    $webException = Get-WebExceptionOf -Cause $Cause
    if ($null -ne $webException -and $webException.Status -eq [System.Net.WebExceptionStatus]::ProtocolError -and
        $null -ne $webException.Response -and $null -ne $webException.Response.PSObject.Properties['StatusCode']) {
        $status = [int]$webException.Response.StatusCode
        return (New-RunFailure -Message ($script:DownloadHttpStatusFormat -f $message, $status) -Kind HttpStatus)
    }
    return (New-RunFailure -Message ($script:DownloadNetworkFormat -f $message) -Kind Network)
}

# Throws a failure of kind EmptyFile when the downloaded file has no bytes, or NotExecutable
# when it does not start as a Windows program does (a captive portal's or an error web page).
function Assert-DownloadedProgram {
    param([Parameter(Mandatory = $true)][string]$Path)
    $bytes = [System.IO.File]::ReadAllBytes($Path)
    if ($bytes.Length -eq 0) {
        throw (New-RunFailure -Message $script:DownloadEmptyFileText -Kind EmptyFile)
    }
    if ($bytes.Length -lt 2 -or [System.Text.Encoding]::ASCII.GetString($bytes, 0, 2) -ne $script:ExecutableSignature) {
        throw (New-RunFailure -Message $script:DownloadNotExecutableText -Kind NotExecutable)
    }
}

# Downloads the URL to Destination once and checks what arrived. Throws a failure whose kind
# says what went wrong: Network, HttpStatus, EmptyFile, NotExecutable or Signature.
function Receive-VerifiedDownload {
    param(
        [Parameter(Mandatory = $true)][string]$Url,
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label
    )
    try {
        Save-DownloadFile -Url $Url -Destination $Destination -Label $Label
    } catch {
        throw (ConvertTo-DownloadFailure -Cause $_)
    }
    Assert-DownloadedProgram -Path $Destination
    try {
        $null = Test-MicrosoftSignature -Path $Destination
    } catch {
        throw (New-RunFailure -Message $_.Exception.Message -Kind Signature)
    }
}
#endregion
