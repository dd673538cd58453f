## Windows features: .NET Framework 3.5 (DISM, with a package folder's source files when it
## has them for this build, or Microsoft's installer from build 28000 on) and DirectPlay,
## each detected first and enabled when missing; DISM's error codes explained. Uses the verified
## download, the process runner, the installers' logs, the output and the state (WorkDir).

#region Windows features: .NET Framework 3.5 and DirectPlay

# .NET Framework 3.5 counts as present when its setup key says Install = 1 or the NetFx3
# feature reads Enabled. From build 28000 on Windows no longer enables it through DISM, so
# Microsoft's own installer is downloaded, verified and run instead.
$script:NetFx35MarkerKey = 'HKLM:\SOFTWARE\Microsoft\NET Framework Setup\NDP\v3.5'
$script:NetFx35InstallerMinimumBuild = 28000
$script:NetFx35Installer = @{
    Url          = 'https://go.microsoft.com/fwlink/?LinkID=2337635'
    File         = 'DotNet35Setup-Windows11-26H1.exe'
    Label        = '.NET Framework 3.5 for Windows 11 26H1+'
    Arguments    = '/quiet /norestart'
    RunnerLabel  = 'DotNet35'
    SuccessCodes = @(0, 3010, 1641, 1638)
    # What its version resource calls the product; a cached copy is used only when it says
    # so. (The installer is only run when .NET Framework 3.5 is missing, so no installed
    # version sets a lower bound.)
    ProductPattern = '\.NET Framework 3\.5'
}
$script:DismSuccessCodes = @(0, 3010)
# DISM may take up to an hour to enable .NET Framework 3.5 (it may fetch it from Windows
# Update); every other program gets the runner's default limit.
$script:DismNetFx35TimeLimitMinutes = 60
$script:NetFx35NotVerifiedMessage = '.NET Framework 3.5 installation could not be verified. If DISM reports 0x800F081F, use Windows installation media that exactly matches the installed Windows build.'
# What DISM's own error codes (its exit code) most likely mean, and what to do: named in the
# failure and in the report's likely causes ({0}: the package folder's NetFx3 folder for
# this build, "NetFx3\<build number>").
$script:DismErrorCauses = @{
    [int]0x800F0954 = 'this PC takes its updates from a company update server (WSUS), which offers no optional features: ask its administrator to allow optional features and repair content from Windows Update, or give DISM the source files in a package folder ({0})'
    [int]0x800F081F = 'the source files were not found: give DISM those of Windows installation media that matches this build (its sources\sxs folder), for example in a package folder ({0})'
    [int]0x800F0950 = 'the source files were not found: give DISM those of Windows installation media that matches this build (its sources\sxs folder), for example in a package folder ({0})'
    [int]0x800F0922 = 'Windows could not finish adding the feature, most often because it could not reach Windows Update or a restart is pending: restart Windows, check the connection and try again, or give DISM the source files in a package folder ({0})'
    [int]0x80070422 = 'the Windows Update service is disabled: set its startup type to Manual, or give DISM the source files in a package folder ({0})'
}
$script:DismErrorFormat = 'DISM error 0x{0}: {1}.'

# Full path of DISM in this Windows' System32 folder.
function Get-DismPath {
    return (Get-WindowsFolder) + '\System32\dism.exe'
}

# Full path of DISM's own log (Logs\DISM\dism.log in the Windows folder).
function Get-DismLogPath {
    return (Join-Path (Join-Path (Join-Path (Get-WindowsFolder) 'Logs') 'DISM') 'dism.log')
}

# Returns the state text of an optional feature ("Enabled", "Disabled", ...). Throws when
# the state cannot be read.
function Get-OptionalFeatureState {
    param([Parameter(Mandatory = $true)][string]$FeatureName)
    $feature = Get-WindowsOptionalFeature -Online -FeatureName $FeatureName
    if ($null -eq $feature -or $null -eq $feature.PSObject.Properties['State']) {
        throw ('Feature {0} reported no state.' -f $FeatureName)
    }
    return [string]$feature.State
}

# What a DISM error code (its exit code) most likely means, as the sentence "DISM error
# 0x<code>: <cause>.", or "" for a code without a known cause.
function Get-DismErrorText {
    param([Parameter(Mandatory = $true)]$ExitCode)
    $code = [int]$ExitCode
    if (-not $script:DismErrorCauses.ContainsKey($code)) {
        return ''
    }
    $build = ''
    try {
        $build = [string](Get-WindowsBuildInfo).Build
    } catch {
        $build = '<build number>'
    }
    $folder = Join-Path $script:NetFx3SourceFolderName $build
    return ($script:DismErrorFormat -f $code.ToString('X8', [Globalization.CultureInfo]::InvariantCulture), ($script:DismErrorCauses[$code] -f $folder))
}

# The package folder's .NET Framework 3.5 source files for this build (NetFx3\<build>), or
# "" when there is no package folder or it holds none.
function Get-NetFx3SourceFolder {
    param([Parameter(Mandatory = $true)][int]$WindowsBuild)
    if ([string]::IsNullOrEmpty($script:PackageFolder)) {
        return ''
    }
    $folder = Join-Path (Join-Path $script:PackageFolder $script:NetFx3SourceFolderName) ([string]$WindowsBuild)
    if (Test-Path -LiteralPath $folder -PathType Container) {
        return $folder
    }
    return ''
}

# Enables an optional feature with all its parents and no restart through DISM, with the
# source files in Source alone when one is given. Throws the runner's message when DISM
# ends with anything but 0 or 3010, followed by what a known DISM error code means
# (Get-DismErrorText), with the same kind and exit code.
function Enable-OptionalFeatureWithDism {
    param(
        [Parameter(Mandatory = $true)][string]$FeatureName,
        [Parameter(Mandatory = $true)][string]$Label,
        [int]$TimeLimitMinutes = $script:ProcessTimeLimitMinutes,
        [string]$Source = ''
    )
    $arguments = '/Online /Enable-Feature /FeatureName:{0} /All /NoRestart' -f $FeatureName
    if ($Source -ne '') {
        $arguments += ' /Source:"{0}" /LimitAccess' -f $Source
    }
    try {
        $null = Invoke-ProcessChecked -FilePath (Get-DismPath) -Arguments $arguments -SuccessCodes $script:DismSuccessCodes -Label $Label -TimeLimitMinutes $TimeLimitMinutes
    } catch {
        $detail = Get-RunFailureDetail -Cause $_
        if ($detail.Kind -ne 'ExitCode' -or (Get-DismErrorText -ExitCode $detail.ExitCode) -eq '') {
            throw
        }
        throw (New-RunFailure -Message ('{0} {1}' -f $_.Exception.Message, (Get-DismErrorText -ExitCode $detail.ExitCode)) -Kind $detail.Kind -ExitCode $detail.ExitCode)
    }
}

# True when .NET Framework 3.5 is present: the setup key's Install value is 1, or else the
# NetFx3 feature is Enabled. Never throws; anything unreadable counts as absent.
function Test-NetFx35Installed {
    try {
        $marker = Get-ItemProperty -Path $script:NetFx35MarkerKey -Name 'Install'
        if ($null -ne $marker -and $null -ne $marker.PSObject.Properties['Install'] -and [int]$marker.Install -eq 1) {
            return $true
        }
    } catch {
        # No key or no value: ask the feature instead.
    }
    try {
        if ((Get-OptionalFeatureState -FeatureName 'NetFx3') -eq 'Enabled') {
            return $true
        }
    } catch {
        # A feature query that fails says nothing either way.
    }
    return $false
}

# What a cached or package-folder copy of the .NET Framework 3.5 installer must be: a program
# whose product name says so, at any version.
function Get-NetFx35InstallerExpectation {
    return [pscustomobject]@{ OriginalFilename = ''; ProductPattern = $script:NetFx35Installer.ProductPattern; NotOlderThan = $null }
}

# Makes .NET Framework 3.5 present: DISM below build 28000, Microsoft's verified installer
# from 28000 on (DISM is not tried when that download fails). Throws when the install
# command fails or .NET Framework 3.5 is still not detected afterwards.
function Install-NetFx35 {
    param([Parameter(Mandatory = $true)][int]$WindowsBuild)
    if (Test-NetFx35Installed) {
        Write-Log -Message '.NET Framework 3.5 is already installed.' -Level OK
        return
    }

    if ($WindowsBuild -ge $script:NetFx35InstallerMinimumBuild) {
        $installer = $script:NetFx35Installer
        $destination = Join-Path $script:WorkDir $installer.File
        $file = Get-VerifiedMicrosoftFile -Url $installer.Url -Destination $destination -Label $installer.Label -Expected (Get-NetFx35InstallerExpectation)
        $null = Invoke-VerifiedInstaller -FilePath $file -Arguments $installer.Arguments -SuccessCodes $installer.SuccessCodes -Label $installer.RunnerLabel -WindowsInstaller
    } else {
        $source = Get-NetFx3SourceFolder -WindowsBuild $WindowsBuild
        if ($source -ne '') {
            Write-Log -Message ('DISM takes the .NET Framework 3.5 source files from {0} alone.' -f $source) -Level INFO
        }
        try {
            Enable-OptionalFeatureWithDism -FeatureName 'NetFx3' -Label 'DISM-NetFx3' -TimeLimitMinutes $script:DismNetFx35TimeLimitMinutes -Source $source
        } catch {
            throw (Add-InstallerLogToFailure -Cause $_ -Path (Get-DismLogPath))
        }
    }

    if (-not (Test-NetFx35Installed)) {
        throw $script:NetFx35NotVerifiedMessage
    }
    Write-Log -Message '.NET Framework 3.5 verification passed.' -Level OK
}

# Enables DirectPlay through DISM unless the feature already reads Enabled. An unreadable
# state is logged and DISM runs anyway. Throws the runner's message when DISM fails.
function Install-DirectPlay {
    $state = $null
    try {
        $state = Get-OptionalFeatureState -FeatureName 'DirectPlay'
    } catch {
        Write-Log -Message 'DirectPlay feature state could not be read; attempting installation.' -Level WARN
    }
    if ($state -eq 'Enabled') {
        Write-Log -Message 'DirectPlay is already enabled.' -Level OK
        return
    }
    Enable-OptionalFeatureWithDism -FeatureName 'DirectPlay' -Label 'DISM-DirectPlay'
}
#endregion
