## Detection for deployment tools: the checks the detection script runs (the build makes
## that script from the assembled one), by the rules the setup steps use. Only reads the
## machine. Uses rights and Windows, the Windows features, Visual C++, DirectX and the
## report's likely causes (its table of prerequisites).

#region Detection for deployment tools

# What the detection script prints when every prerequisite is present ({0} the tool name,
# {1} its version). Deployment tools read any output with exit code 0 as "installed".
$script:DetectionPresentFormat = '{0} {1}: every prerequisite is present.'

# True when the package's runtime has an Uninstall entry of the package's architecture
# named as the report's prerequisite table names that runtime (the row whose name begins
# the package's name).
function Test-VisualCppPackageInstalled {
    param([Parameter(Mandatory = $true)]$Package)
    foreach ($row in $script:ReportPrerequisites) {
        if (-not (Test-PackageOfPrerequisite -Package $Package -Prerequisite $row) -or $null -eq $row.PSObject.Properties['Installed']) {
            continue
        }
        foreach ($pattern in $row.Installed) {
            if ($null -ne (Get-InstalledVisualCppRuntime -DisplayNamePattern $pattern -Architecture $Package.Architecture)) {
                return $true
            }
        }
    }
    return $false
}

# The names of the prerequisites this tool installs that this Windows lacks, found by the
# rules the setup steps use: .NET Framework 3.5 (Test-NetFx35Installed), DirectPlay (its
# feature reads Enabled), each Visual C++ package of this Windows
# (Test-VisualCppPackageInstalled) and the DirectX DLL the DirectX step verifies. Only reads
# the machine.
function Get-MissingPrerequisites {
    $missing = New-Object System.Collections.Generic.List[string]
    if (-not (Test-NetFx35Installed)) {
        $missing.Add('.NET Framework 3.5')
    }
    $directPlay = ''
    try {
        $directPlay = Get-OptionalFeatureState -FeatureName 'DirectPlay'
    } catch {
        # An unreadable state is no proof that DirectPlay is there.
    }
    if ($directPlay -ne 'Enabled') {
        $missing.Add('DirectPlay')
    }
    foreach ($package in @(Get-VisualCppPackageList)) {
        if (-not (Test-VisualCppPackageInstalled -Package $package)) {
            $missing.Add($package.Name)
        }
    }
    if (-not (Test-Path -LiteralPath (Get-DirectXLegacyDllPath) -PathType Leaf)) {
        $missing.Add('DirectX legacy runtime')
    }
    return , $missing.ToArray()
}

# The whole run of the detection script that the build makes from this file: prints one
# line when nothing is missing and nothing otherwise, and returns 0 either way (deployment
# tools read "no output" as "not installed" and any other code as a failed check). A 32-bit
# PowerShell on 64-bit Windows hands over to the 64-bit one first, as the setup does, and
# returns its code. Writes no log and no file; lines the checks would log are dropped.
function Invoke-PrerequisiteDetection {
    $nativeExitCode = Invoke-NativePowerShellCopy
    if ($null -ne $nativeExitCode) {
        return $nativeExitCode
    }
    $missing = Get-MissingPrerequisites 6>$null
    if (@($missing).Count -eq 0) {
        Write-Host ($script:DetectionPresentFormat -f $script:ToolName, $script:ToolVersion)
    }
    return 0
}
#endregion
