## Package folder layout (-Layout, /layout): fills a folder once with every installer any
## supported Windows may need, through the same verified download and by the same cache
## rules, under the cache's file names, then writes SHA256SUMS for people to check. Installs
## nothing and writes no report. Uses the packages (cache and download), the Visual C++,
## DirectX and Windows features tables, the completion message's box, the output and the
## state.

#region Package folder layout

# What a layout says at its end ({0} the packages ready, {1} all packages, {2} the folder),
# and the file it writes last, in the format "sha256sum -c" reads.
$script:LayoutSummaryFormat = '{0} of {1} packages are in {2}.'
$script:LayoutChecksumFile = 'SHA256SUMS'

# Every package a supported Windows may need, whatever this one needs: each Visual C++ row
# of every architecture, DirectX June 2010 and the .NET Framework 3.5 installer (builds from
# 28000 on). Label, Url, FallbackUrl, File and Expected (for a moving link: the program a
# copy already in the folder must be; no installed version applies to a folder).
function Get-LayoutPackages {
    $packages = foreach ($row in $script:VisualCppPackages) {
        $expected = $null
        if (Test-VisualCppV14Package -Package $row) {
            $expected = Get-VisualCppV14Expectation -Package $row
            $expected.NotOlderThan = $null
        }
        [pscustomobject]@{ Label = $row.Name; Url = $row.Url; FallbackUrl = $row.FallbackUrl; File = $row.File; Expected = $expected }
    }
    $directX = $script:DirectXLegacy
    $netFx = $script:NetFx35Installer
    return @(@($packages) +
        [pscustomobject]@{ Label = $directX.Label; Url = $directX.Url; FallbackUrl = ''; File = $directX.PackageFile; Expected = $null } +
        [pscustomobject]@{ Label = $netFx.Label; Url = $netFx.Url; FallbackUrl = ''; File = $netFx.File; Expected = (Get-NetFx35InstallerExpectation) })
}

# Writes "<sha-256>  <file name>" for each file, sorted by name, LF after each line, as
# UTF-8 without a byte-order mark: what "sha256sum -c" reads. The folder is anybody's: a
# link left in the file's place is removed, never written through, and the file is made new
# (New-FreshFile). Throws when it cannot be written.
function Write-ChecksumFile {
    param([Parameter(Mandatory = $true)][string]$Folder, [Parameter(Mandatory = $true)][AllowEmptyCollection()][string[]]$Files)
    $lines = foreach ($name in @($Files | Sort-Object)) {
        '{0}  {1}' -f (Get-FileSha256 -Path (Join-Path $Folder $name)).ToLowerInvariant(), $name
    }
    $text = ''
    if (@($lines).Count -gt 0) {
        $text = (@($lines) -join "`n") + "`n"
    }
    $bytes = (New-Object System.Text.UTF8Encoding $false).GetBytes($text)
    $null = New-FreshFile -Path (Join-Path $Folder $script:LayoutChecksumFile) -Bytes $bytes
}

# Fills Folder (a full path; created when missing) with every package of Get-LayoutPackages
# through Get-VerifiedMicrosoftFile, the folder's copies serving as its cache: a good one is
# kept, a stale, foreign or unknown one replaced. Logs one line per package, writes
# SHA256SUMS of the packages there, logs the summary and shows it in a box where somebody can
# answer one. Returns 0 when every package and SHA256SUMS are there, 1 otherwise.
function Invoke-PackageLayout {
    param([Parameter(Mandatory = $true)][string]$Folder)
    Write-Step -Number 1 -Total 1 -Message ('Filling the package folder {0}' -f $Folder)
    $null = [System.IO.Directory]::CreateDirectory($Folder)
    $packages = @(Get-LayoutPackages)
    $ready = New-Object System.Collections.Generic.List[string]
    foreach ($package in $packages) {
        $destination = Join-Path $Folder $package.File
        try {
            $file = Get-VerifiedMicrosoftFile -Url $package.Url -FallbackUrl $package.FallbackUrl -Destination $destination -Label $package.Label -Expected $package.Expected
            if ($file -ne $destination) {
                throw ('{0} is held open by another program' -f $destination)
            }
            $ready.Add($package.File)
            Write-Log -Message ('Package ready: {0} ({1})' -f $package.Label, $package.File) -Level OK
        } catch {
            Write-Log -Message ('Package missing: {0}: {1}' -f $package.Label, $_.Exception.Message) -Level ERROR
        }
    }
    $complete = $ready.Count -eq $packages.Count
    try {
        Write-ChecksumFile -Folder $Folder -Files $ready.ToArray()
    } catch {
        Write-Log -Message ('{0} could not be written: {1}' -f (Join-Path $Folder $script:LayoutChecksumFile), $_.Exception.Message) -Level ERROR
        $complete = $false
    }
    $summary = $script:LayoutSummaryFormat -f $ready.Count, $packages.Count, $Folder
    $level = 'OK'
    $icon = 'Information'
    if (-not $complete) {
        $level = 'WARN'
        $icon = 'Warning'
    }
    Write-Log -Message $summary -Level $level
    if (-not $script:RunUnattended -and (Test-SessionCanShowMessageBox)) {
        try {
            Show-MessageBox -Text $summary -Caption $script:ToolName -Icon $icon
        } catch {
            # No box without Windows Forms or a desktop; the console and the log have it.
        }
    }
    if ($complete) {
        return 0
    }
    return 1
}
#endregion
