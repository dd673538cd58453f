## Packages: which copy of an installer is used (the verified cache in the work folder, a
## copy from a package folder, or a fresh download into a private folder of this run) and
## how it is run (from a new private folder of this run holding nothing but a copy of it).
## A cached or package-folder copy counts only when it passes the rules a fresh one would,
## and more: a fixed-version package must be a known build, a moving link's package the
## expected program, not older than what this PC has. Nothing is run or trusted where it
## lies, and a file someone holds open never fails a step. Uses the verified download, the
## secured folders and files, the process runner, Windows Installer's turn, the output and
## the state.

#region Packages: cache, fresh downloads and running them

# A cached copy of a file behind a moving link (a package without known builds: the v14
# packages, the .NET Framework 3.5 installer) older than this is downloaded again, so that a
# PC does not keep an old runtime for good. Fixed-version files are reused at any age.
$script:MovingLinkRefreshDays = 30
# Fresh downloads land in a new private folder of this run ("Download.<16 hex>" in the work
# folder) under the cache's file name, and move into the cache once verified.
$script:DownloadFolderStem = 'Download'
$script:CachedFileRefusedFormat = 'Not using the cached file for {0}: {1}'
$script:CachedFileHeldFormat = 'The cached file {0} is held open by another program; this run uses its new download {1}.'
# A package folder: one named so beside the setup executable (the launcher passes its own
# folder), or the one a run is given; a USB stick, a share, a download folder. /layout fills
# it (see Invoke-PackageLayout). The .NET Framework 3.5 source files for DISM may sit in it
# as NetFx3\<build number>, the sources\sxs folder of installation media for that build.
$script:PackageFolderName = 'ORVELLE-Game-Support-Packages'
$script:NetFx3SourceFolderName = 'NetFx3'
$script:FolderArgumentFormat = 'The folder given with {0} cannot be used: "{1}". Give a full path, such as D:\ORVELLE-Game-Support-Packages, without quotation marks.'
$script:PackageFolderUnusableFormat = 'The package folder {0} cannot be read ({1}); installers are downloaded instead.'
$script:PackageFileRefusedFormat = 'Not using {0} from the package folder: {1}'

# What a file's version resource says of it: OriginalFilename and ProductName ("" when
# absent) and FileVersion (a version, or $null when the file has none).
function Get-FileVersionResource {
    param([Parameter(Mandatory = $true)][string]$Path)
    $info = [System.Diagnostics.FileVersionInfo]::GetVersionInfo($Path)
    $version = $null
    if ($info.FileMajorPart -ne 0 -or $info.FileMinorPart -ne 0 -or $info.FileBuildPart -ne 0 -or $info.FilePrivatePart -ne 0) {
        $version = New-Object System.Version $info.FileMajorPart, $info.FileMinorPart, $info.FileBuildPart, $info.FilePrivatePart
    }
    return [pscustomobject]@{ OriginalFilename = [string]$info.OriginalFilename; ProductName = [string]$info.ProductName; FileVersion = $version }
}

# Why the version resource of a moving link's package does not show the Expected program
# (OriginalFilename: Microsoft's own file name, "" when none is known; ProductPattern: a
# regular expression for the product name; NotOlderThan: the version this PC has, or
# $null), or "" when it does.
function Get-ExpectedProgramProblem {
    param([Parameter(Mandatory = $true)][string]$Path, [Parameter(Mandatory = $true)]$Expected)
    $resource = Get-FileVersionResource -Path $Path
    if (-not [string]::IsNullOrEmpty($Expected.OriginalFilename) -and
        -not [string]::Equals($resource.OriginalFilename, $Expected.OriginalFilename, [StringComparison]::OrdinalIgnoreCase)) {
        return ('its original file name is "{0}", not {1}' -f $resource.OriginalFilename, $Expected.OriginalFilename)
    }
    if ($resource.ProductName -notmatch $Expected.ProductPattern) {
        return ('its product name "{0}" is not the expected program''s' -f $resource.ProductName)
    }
    if ($null -eq $resource.FileVersion) {
        return 'it has no version'
    }
    if ($null -ne $Expected.NotOlderThan -and $resource.FileVersion -lt $Expected.NotOlderThan) {
        return ('its version {0} is older than the {1} this PC has' -f $resource.FileVersion, $Expected.NotOlderThan)
    }
    return ''
}

# Why a copy of a package that did not come straight from Microsoft in this run (a cached
# one) cannot be used, or "" when it can: it must carry Microsoft's own valid signature, a
# fixed-version package (one with known builds) must be one of them, and a moving link's
# package must be the Expected program (see Get-ExpectedProgramProblem), when one is given.
function Get-PackageCopyProblem {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Label,
        $Expected = $null
    )
    try {
        $null = Test-MicrosoftSignature -Path $Path
    } catch {
        return $_.Exception.Message
    }
    if ($script:KnownBuilds.ContainsKey($Label)) {
        $hash = Get-FileSha256 -Path $Path
        if ($script:KnownBuilds[$Label] -notcontains $hash) {
            return ('it is not a known build (SHA-256 {0})' -f $hash)
        }
        return ''
    }
    if ($null -ne $Expected) {
        return (Get-ExpectedProgramProblem -Path $Path -Expected $Expected)
    }
    return ''
}

# True when the cached file belongs to a moving link and is older than MovingLinkRefreshDays.
function Test-StaleMovingLinkCopy {
    param(
        [Parameter(Mandatory = $true)][string]$Label,
        [Parameter(Mandatory = $true)][string]$Path
    )
    if ($script:KnownBuilds.ContainsKey($Label)) {
        return $false
    }
    $age = (Get-WatchTime) - [System.IO.File]::GetLastWriteTimeUtc($Path)
    return ($age.TotalDays -gt $script:MovingLinkRefreshDays)
}

# Deletes a folder this run made for one program, with everything in it. A folder that
# cannot be deleted (a program still holds a file in it) is logged and left, never an error.
function Remove-RunFolder {
    param([Parameter(Mandatory = $true)][string]$Path)
    try {
        Remove-DirectoryTree -Path $Path
    } catch {
        Write-Log -Message ('Could not remove {0}: {1}' -f $Path, $_.Exception.Message) -Level WARN
    }
}

# Removes the folders of this run that had to outlive their step (RunFolders), at the end of
# the run.
function Remove-RunFolders {
    foreach ($folder in $script:RunFolders.ToArray()) {
        Remove-RunFolder -Path $folder
    }
    $script:RunFolders.Clear()
}

# Downloads a verified copy of the file behind the addresses into a new private folder of
# this run, under the name of Destination, from the first address that gives one: three
# attempts per address, pauses of 2 and 4 seconds, each failed attempt logged with its
# reason. The file's time is set to now, so its age counts from this download. Returns its
# path. Throws "Unable to securely download <label>: <reason of the last attempt>" with that
# reason's kind, and leaves nothing behind then.
function Save-VerifiedMicrosoftFile {
    param(
        [Parameter(Mandatory = $true)][string[]]$Addresses,
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label
    )
    $folder = New-PrivateFolder -Stem (Join-Path $script:WorkDir $script:DownloadFolderStem) -Access Private
    $download = Join-Path $folder (Split-Path -Leaf $Destination)
    $lastError = ''
    $lastKind = 'Other'
    foreach ($address in $Addresses) {
        if ($address -ne $Addresses[0]) {
            Write-Log -Message ('Trying the second Microsoft address for {0}: {1}' -f $Label, $address) -Level INFO
        }
        for ($attempt = 1; $attempt -le $script:DownloadAttempts; $attempt++) {
            try {
                Write-Log -Message ('Downloading {0} from Microsoft (attempt {1}/{2})...' -f $Label, $attempt, $script:DownloadAttempts) -Level INFO
                Remove-FileQuietly -Path $download
                Receive-VerifiedDownload -Url $address -Destination $download -Label $Label
                [System.IO.File]::SetLastWriteTimeUtc($download, (Get-WatchTime))
                return $download
            } catch {
                $lastError = $_.Exception.Message
                $lastKind = (Get-RunFailureDetail -Cause $_).Kind
                Remove-FileQuietly -Path $download
                Write-Log -Message ('Download of {0} failed: {1}' -f $Label, $lastError) -Level WARN
                if ($attempt -lt $script:DownloadAttempts) {
                    Wait-RetryPause -Seconds (2 * $attempt)
                }
            }
        }
    }
    Remove-RunFolder -Path $folder
    throw (New-RunFailure -Message ('Unable to securely download {0}: {1}' -f $Label, $lastError) -Kind $lastKind)
}

# Moves a verified download (Path, in its folder of this run) into the cache at Destination
# and returns Destination. When what stands there cannot be replaced (another program holds
# it open), says so and returns Path instead: the download stays in its folder until the run
# ends.
function Publish-DownloadedFile {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Destination
    )
    $folder = Split-Path -Parent $Path
    try {
        Remove-FileQuietly -Path $Destination
        Move-FileTo -Path $Path -Destination $Destination
    } catch {
        Write-Log -Message ($script:CachedFileHeldFormat -f $Destination, $Path) -Level WARN
        $script:RunFolders.Add($folder)
        return $Path
    }
    Remove-RunFolder -Path $folder
    return $Destination
}

# True for a full path of a folder: a drive path ("D:\...") or a share ("\\server\share..."),
# never a relative path, a device path ("\\?\", "\\.\") or one that holds a double quote.
function Test-FullFolderPath {
    param([AllowEmptyString()][string]$Path)
    if ([string]::IsNullOrWhiteSpace($Path) -or $Path.Contains('"')) {
        return $false
    }
    return ($Path -match '^[A-Za-z]:\\' -or $Path -match '^\\\\[^\\?.][^\\]*\\[^\\]+')
}

# Throws "The folder given with <switch> cannot be used: ..." unless Path is a full folder
# path (Test-FullFolderPath).
function Assert-FolderArgument {
    param([Parameter(Mandatory = $true)][string]$Switch, [AllowEmptyString()][string]$Path)
    if (-not (Test-FullFolderPath -Path $Path)) {
        throw ($script:FolderArgumentFormat -f $Switch, $Path)
    }
}

# Decides which package folder this run takes installers from and keeps it in
# PackageFolder: the one given with -PackageSource, else the one named
# ORVELLE-Game-Support-Packages in the launcher's folder, when it exists. A folder that was
# given but cannot be read is a WARN line, and the run downloads as it would without one;
# nothing beside the launcher is no news.
function Initialize-PackageFolder {
    $script:PackageFolder = ''
    $candidate = $script:PackageSourceFolder
    if ([string]::IsNullOrEmpty($candidate)) {
        if ([string]::IsNullOrEmpty($script:LauncherFolder)) {
            return
        }
        $candidate = Join-Path $script:LauncherFolder $script:PackageFolderName
        if (-not (Test-Path -LiteralPath $candidate -PathType Container)) {
            return
        }
    }
    try {
        $null = [System.IO.Directory]::GetFileSystemEntries($candidate)
    } catch {
        Write-Log -Message ($script:PackageFolderUnusableFormat -f $candidate, $_.Exception.Message) -Level WARN
        return
    }
    $script:PackageFolder = $candidate
    Write-Log -Message ('Package folder: {0}' -f $candidate) -Level INFO
}

# Copies the package folder's file of the name of Destination into a new private folder of
# this run and checks the copy there by the rules of a cached copy (Get-PackageCopyProblem);
# returns the copy's path, or $null when the folder has no such file. A copy that fails is
# deleted with its folder and named once in a WARN line. Nothing is run or trusted in the
# package folder itself.
function Copy-PackageFolderFile {
    param(
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label,
        $Expected = $null
    )
    if ([string]::IsNullOrEmpty($script:PackageFolder)) {
        return $null
    }
    $name = Split-Path -Leaf $Destination
    $source = Join-Path $script:PackageFolder $name
    if (-not (Test-Path -LiteralPath $source -PathType Leaf)) {
        return $null
    }
    $folder = New-PrivateFolder -Stem (Join-Path $script:WorkDir $script:DownloadFolderStem) -Access Private
    $copy = Join-Path $folder $name
    $problem = ''
    try {
        Copy-FileToNew -Path $source -Destination $copy
        $problem = Get-PackageCopyProblem -Path $copy -Label $Label -Expected $Expected
    } catch {
        $problem = $_.Exception.Message
    }
    if ($problem -ne '') {
        Write-Log -Message ($script:PackageFileRefusedFormat -f $source, $problem) -Level WARN
        Remove-RunFolder -Path $folder
        return $null
    }
    return $copy
}

# Notes where an installer of this run came from (Source: "package folder", "cache" or
# "download") for the report, and returns Path.
function Add-InstallerSource {
    param([Parameter(Mandatory = $true)][string]$Label, [Parameter(Mandatory = $true)][string]$Source, [Parameter(Mandatory = $true)][string]$Path)
    $script:InstallerSources.Add([pscustomobject]@{ Label = $Label; Source = $Source; Path = $Path })
    return $Path
}

# Moves a checked copy of this run (Path) into the cache at Destination
# (Publish-DownloadedFile), notes where it came from (Add-InstallerSource) and returns the
# path to run.
function Publish-InstallerCopy {
    param(
        [Parameter(Mandatory = $true)][string]$Label,
        [Parameter(Mandatory = $true)][string]$Source,
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Destination
    )
    return (Add-InstallerSource -Label $Label -Source $Source -Path (Publish-DownloadedFile -Path $Path -Destination $Destination))
}

# Returns the path of a Microsoft-signed copy of the URL's file, and notes where it came
# from (Add-InstallerSource). In this order: the cached copy at Destination when it may be
# used (Get-PackageCopyProblem) and is not a moving link's copy older than
# MovingLinkRefreshDays; else the package folder's copy (Copy-PackageFolderFile); else a
# fresh download (Save-VerifiedMicrosoftFile). A stale copy, cached or from the package
# folder, is used when no newer one can be downloaded. What is used moves into the cache
# (Publish-DownloadedFile). A cached copy that may not be used is deleted where it can be,
# and the log says why. When the URL gives no verified file and the package has a second
# Microsoft address (FallbackUrl), that address gets the same attempts. A fresh file of a
# fixed-version package that is not a known build is noted (Confirm-KnownBuild). Throws the
# download failure, or the host error when an address is not allowed.
function Get-VerifiedMicrosoftFile {
    param(
        [Parameter(Mandatory = $true)][string]$Url,
        [Parameter(Mandatory = $true)][string]$Destination,
        [Parameter(Mandatory = $true)][string]$Label,
        [string]$FallbackUrl = '',
        # For a moving link's package: the program a cached or package-folder copy must be
        # (see Get-ExpectedProgramProblem).
        $Expected = $null
    )
    $addresses = @($Url)
    if (-not [string]::IsNullOrEmpty($FallbackUrl)) {
        $addresses += $FallbackUrl
    }
    foreach ($address in $addresses) {
        Assert-MicrosoftDownloadHost -Url $address
    }

    $staleCache = $false
    if (Test-Path -LiteralPath $Destination -PathType Leaf) {
        $problem = Get-PackageCopyProblem -Path $Destination -Label $Label -Expected $Expected
        if ($problem -eq '' -and -not (Test-StaleMovingLinkCopy -Label $Label -Path $Destination)) {
            Write-Log -Message ('Using verified cached file for {0}.' -f $Label) -Level OK
            return (Add-InstallerSource -Label $Label -Source 'cache' -Path $Destination)
        }
        if ($problem -eq '') {
            $staleCache = $true
        } else {
            Write-Log -Message ($script:CachedFileRefusedFormat -f $Label, $problem) -Level WARN
            Remove-FileQuietly -Path $Destination
        }
    }

    $fromFolder = Copy-PackageFolderFile -Destination $Destination -Label $Label -Expected $Expected
    if ($null -ne $fromFolder -and -not (Test-StaleMovingLinkCopy -Label $Label -Path $fromFolder)) {
        Write-Log -Message ('Using {0} from the package folder {1}.' -f $Label, $script:PackageFolder) -Level OK
        return (Publish-InstallerCopy -Label $Label -Source 'package folder' -Path $fromFolder -Destination $Destination)
    }
    if ($null -ne $fromFolder -or $staleCache) {
        $where = 'cached file'
        if ($null -ne $fromFolder) { $where = 'package folder''s file' }
        Write-Log -Message ('The {0} for {1} is older than {2} days; downloading a newer copy.' -f $where, $Label, $script:MovingLinkRefreshDays) -Level INFO
        try {
            $fresh = Save-VerifiedMicrosoftFile -Addresses $addresses -Destination $Destination -Label $Label
        } catch {
            Write-Log -Message ('Using the {0} for {1}: a newer copy could not be downloaded ({2}).' -f $where, $Label, $_.Exception.Message) -Level WARN
            if ($null -ne $fromFolder) {
                return (Publish-InstallerCopy -Label $Label -Source 'package folder' -Path $fromFolder -Destination $Destination)
            }
            return (Add-InstallerSource -Label $Label -Source 'cache' -Path $Destination)
        }
        if ($null -ne $fromFolder) {
            Remove-RunFolder -Path (Split-Path -Parent $fromFolder)
        }
        return (Publish-InstallerCopy -Label $Label -Source 'download' -Path $fresh -Destination $Destination)
    }
    $fresh = Save-VerifiedMicrosoftFile -Addresses $addresses -Destination $Destination -Label $Label
    Confirm-KnownBuild -Label $Label -Path $fresh
    return (Publish-InstallerCopy -Label $Label -Source 'download' -Path $fresh -Destination $Destination)
}

# Installers start only from a folder made for them in this run ("Install.<16 hex>" in the
# work folder): an installer loads DLLs from its own folder, so nothing from before the run
# may sit beside it.
$script:InstallFolderStem = 'Install'

# Copies a file to a new file; an existing file at Destination is an error, never replaced.
function Copy-FileToNew {
    param(
        [Parameter(Mandatory = $true)][string]$Path,
        [Parameter(Mandatory = $true)][string]$Destination
    )
    [System.IO.File]::Copy($Path, $Destination, $false)
}

# Runs a verified installer (FilePath, as Get-VerifiedMicrosoftFile returned it) through the
# checked process runner from a new private folder of this run that holds nothing but a copy
# of it: the copy is verified again there, run, and the folder deleted afterwards, whatever
# happened. With -WindowsInstaller the package waits for Windows Installer's turn (see
# Invoke-WindowsInstallerPackage). Returns the runner's exit code; throws the copy's,
# signature's or runner's error.
function Invoke-VerifiedInstaller {
    param(
        [Parameter(Mandatory = $true)][string]$FilePath,
        [Parameter(Mandatory = $true)][string]$Arguments,
        [Parameter(Mandatory = $true)][int[]]$SuccessCodes,
        [Parameter(Mandatory = $true)][string]$Label,
        [switch]$WindowsInstaller
    )
    $folder = New-PrivateFolder -Stem (Join-Path $script:WorkDir $script:InstallFolderStem) -Access Private
    try {
        $copy = Join-Path $folder (Split-Path -Leaf $FilePath)
        Copy-FileToNew -Path $FilePath -Destination $copy
        $null = Test-MicrosoftSignature -Path $copy
        if ($WindowsInstaller) {
            return (Invoke-WindowsInstallerPackage -FilePath $copy -Arguments $Arguments -SuccessCodes $SuccessCodes -Label $Label)
        }
        return (Invoke-ProcessChecked -FilePath $copy -Arguments $Arguments -SuccessCodes $SuccessCodes -Label $Label)
    } finally {
        Remove-RunFolder -Path $folder
    }
}
#endregion
